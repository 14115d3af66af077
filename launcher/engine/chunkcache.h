#pragma once

#include "chunkindex.h"
#include "result.h"

#include <QByteArray>
#include <QSet>
#include <QString>

#include <optional>

// Where chunks fetched for a run wait until the files made of them are
// assembled, and the index of the build last installed into each game folder.
// Both live in the engine's per-user folder and never in staging, which the
// file mover carries into the game.
namespace ChunkCache {

QString folder();
QString chunkFile(const ChunkId &id);
// Creates the folders for this user alone, or refuses ones another user could write.
Status prepare();

// The stored bytes of a cached chunk; never read through a link.
Result<QByteArray> readChunk(const ChunkId &id);
void removeChunk(const ChunkId &id);
// Removes every cached chunk but `keep`; clear() removes them all.
void keepOnly(const QSet<ChunkId> &keep);
void clear();

// The index (as stored) of the build whose files the launcher put into `installFolder`.
Status saveInstalledIndex(const QString &installFolder, const QByteArray &stored);
std::optional<ChunkIndex> loadInstalledIndex(const QString &installFolder);

} // namespace ChunkCache
