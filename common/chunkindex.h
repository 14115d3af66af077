#pragma once

#include "chunker.h"
#include "chunkstore.h"
#include "result.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// A build's index in the chunk store: which chunks make each file of the build.
// Stored as one zstd frame around a little-endian body:
//
//   "LCIX", version (u32 = 1), SHA-256 of the build's manifest body (32 bytes),
//   publish time (i64, milliseconds since 1970 UTC), cutter limits (3 x i32),
//   chunk count (u32), file count (u32),
//   chunks: SHA-256 (32), size (u32), stored size (u32)
//   files:  key length (u32), key (UTF-8), size (u64), CRC-32 (u32), chunk count (u32),
//           per chunk: its row in the chunk table (u32), its offset in the file (u64)

constexpr quint32 chunkIndexVersion = 1;
// Bounds on what a hostile index may make a reader hold.
constexpr qint64 maxChunkIndexStoredBytes = 256LL * 1024 * 1024;
constexpr qint64 maxChunkIndexBytes = 1024LL * 1024 * 1024;

struct IndexedChunk
{
    ChunkId id;
    qint32 size = 0;       // uncompressed
    qint32 storedSize = 0; // the zstd frame's
};

struct ChunkRef
{
    quint32 chunk = 0; // row of ChunkIndex::chunks
    qint64 offset = 0; // where it starts in the file
};

struct IndexedFile
{
    QString key;
    qint64 size = 0;
    quint32 crc = 0;
    QList<ChunkRef> chunks; // in file order, each starting where the one before ends
};

struct ChunkIndex
{
    ChunkId manifestSha;
    qint64 publishedAt = 0; // later for each build published into the same store
    ChunkLimits limits;
    QList<IndexedChunk> chunks; // each chunk once
    QList<IndexedFile> files;   // in key order
};

QByteArray encodeChunkIndex(const ChunkIndex &index);

// Refuses anything a sound publisher would not write: bad framing or version,
// counts the body cannot hold, chunk sizes outside the cutter's limits, unsafe
// or repeated keys, chunks that overlap, leave a gap or miss the file's end.
Result<ChunkIndex> decodeChunkIndex(const QByteArray &stored);

// The index must belong to this manifest body, and each file it lists must have
// the manifest's size and checksum.
Status checkIndexAgainstManifest(const ChunkIndex &index, const QByteArray &manifestBody,
                                 const QJsonObject &manifestFiles);
