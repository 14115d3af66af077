#pragma once

#include "result.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The chunk store beside a published build: every chunk once, compressed with
// zstd, named after the SHA-256 of its uncompressed bytes, plus one index per
// build. It lives in one folder of the published tree that no game file may
// use; launchers that know nothing of it never ask for it.
//
//   <store>/chunks/<first 2 hex digits>/<64 hex digits>   a zstd frame
//   <store>/builds/<64 hex digits>.index                  named after the build's manifest

inline const QString chunkStoreFolder = QStringLiteral(".chunkstore");

using ChunkId = QByteArray; // 32 bytes of SHA-256
constexpr qsizetype chunkIdBytes = 32;

ChunkId sha256Of(QByteArrayView bytes);

// Paths relative to the published folder ("/" separators).
QString chunkPath(const ChunkId &id);
QString buildIndexPath(const ChunkId &manifestSha);

// zstd, one frame that states its content size. `level` 1 (fast) to 19.
Result<QByteArray> compressChunk(QByteArrayView raw, int level);

// Decompresses a stored chunk that must give exactly `rawSize` bytes whose SHA-256
// is `id`. A frame that claims or produces more is refused before it is
// written out in full, so a hostile chunk costs at most `rawSize` bytes.
Result<QByteArray> unpackChunk(QByteArrayView stored, qint64 rawSize, const ChunkId &id);
