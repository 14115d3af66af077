#pragma once

#include "chunkindex.h"
#include "result.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Which chunks of the files to install the player already has and which must
// be fetched: what installing from the chunk store costs, worked out before a
// byte is fetched.

struct LocalCopy
{
    QString key;       // an installed file
    qint64 offset = 0; // where the chunk starts in it
};

struct ChunkPlan
{
    struct Piece
    {
        quint32 chunk = 0; // row of the target index
        std::optional<LocalCopy> local;
    };
    struct File
    {
        QString key;
        qint64 size = 0; // what the target index lists
        quint32 crc = 0;
        QList<Piece> pieces; // in file order
    };
    QList<File> files;      // assembled from chunks
    QStringList wholeFiles; // not in the index, or chunks would save next to nothing: fetched whole
    QList<quint32> fetch;   // rows of the target index to fetch, each once
    qint64 fetchBytes = 0;  // their stored sizes
};

// `installed` is the index of the build the player has, and `intact` the keys
// whose installed files still match it (the install record knows without
// reading them); without an index, only chunks fetched for the plan serve.
ChunkPlan planChunks(const ChunkIndex &target, const QStringList &wanted,
                     const ChunkIndex *installed, const QSet<QString> &intact);

// Reads the stored (compressed) bytes of a fetched chunk.
using FetchedChunk = std::function<Result<QByteArray>(const ChunkId &)>;

// Writes `file` to `path`: local copies read below `gameDir`, each checked by
// its SHA-256, the fetched chunk taking the place of one that no longer
// matches; the result must have the target's size and CRC-32. A failure leaves
// no file at `path`, and the caller fetches that file whole.
Status assembleFile(const ChunkIndex &target, const ChunkPlan::File &file, const QString &gameDir,
                    const FetchedChunk &fetched, const QString &path);
