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
// file mover carries into the game. A value: made on the GUI thread (where the
// folders are known), used on any.
class ChunkCache final
{
public:
    explicit ChunkCache(const QString &engineFolder);
    // The engine's: reads the profile, so only on the GUI thread.
    static ChunkCache ofEngine();

    QString folder() const;
    QString chunkFile(const ChunkId &id) const;
    // Creates the folders for this user alone, or refuses ones another user could write.
    Status prepare() const;

    // The stored bytes of a cached chunk; never read through a link.
    Result<QByteArray> readChunk(const ChunkId &id) const;
    void removeChunk(const ChunkId &id) const;
    // Removes every cached chunk but `keep`; clear() removes them all.
    void keepOnly(const QSet<ChunkId> &keep) const;
    void clear() const { keepOnly({}); }

    // The index (as stored) of the build whose files the launcher put into `installFolder`.
    Status saveInstalledIndex(const QString &installFolder, const QByteArray &stored) const;
    std::optional<ChunkIndex> loadInstalledIndex(const QString &installFolder) const;

private:
    QString indexFolder() const;
    QString indexFileOf(const QString &installFolder) const;

    QString engineFolder;
};
