#pragma once

#include "chunkindex.h"
#include "storefolder.h"

#include <QByteArrayView>
#include <QHash>
#include <QMutex>

#include <atomic>
#include <memory>

// Adds the chunks of a build to the store while publish reads its files: each
// chunk new to the store is compressed and written once (under a temporary name,
// renamed when whole, so a killed publish never leaves half a chunk), and a
// chunk the store already holds costs only its hash.
class ChunkPublisher final
{
public:
    ChunkPublisher(std::unique_ptr<StoreFolder> store, const ChunkLimits &limits, int level);

    const ChunkLimits &limits() const { return cutLimits; }

    // Thread-safe. The chunk's provisional row, for ChunkRef::chunk.
    Result<quint32> add(QByteArrayView raw);

    // Writes the build's index for the manifest `manifestBody`; `files` in key
    // order, their chunk rows as add() gave them.
    Status writeIndex(QList<IndexedFile> files, const QByteArray &manifestBody);

    qint64 newChunks() const { return written.load(); }
    qint64 newBytes() const { return writtenBytes.load(); }
    qint64 knownChunks() const { return rows.size() - written.load(); }

private:
    Result<qint32> store(const ChunkId &id, QByteArrayView raw);
    qint64 publishTime() const;

    std::unique_ptr<StoreFolder> folder;
    ChunkLimits cutLimits;
    int level;
    QHash<ChunkId, qint64> onDisk; // read before the workers start, then only read
    QMutex mutex;                  // guards rows and table
    QHash<ChunkId, quint32> rows;
    QList<IndexedChunk> table;
    std::atomic<qint64> written{0};
    std::atomic<qint64> writtenBytes{0};
};
