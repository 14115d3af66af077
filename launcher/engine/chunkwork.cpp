#include "chunkwork.h"

#include "chunkcache.h"
#include "enginefolders.h"

#include <QDir>
#include <QFileInfo>

#include <optional>

namespace {

bool cachedChunkIsWhole(const IndexedChunk &chunk)
{
    const Result<QByteArray> stored = ChunkCache::readChunk(chunk.id);
    return stored && stored->size() == chunk.storedSize &&
           unpackChunk(*stored, chunk.size, chunk.id).ok();
}

} // namespace

namespace ChunkWork {

Result<Setup> prepare(const Input &input)
{
    Result<ChunkIndex> decoded = decodeChunkIndex(input.storedIndex);
    if (!decoded)
        return decoded.failure();
    Setup setup;
    setup.target = std::move(decoded.value());
    if (const Status matches =
            checkIndexAgainstManifest(setup.target, input.manifestBody, input.table);
        !matches)
        return matches.failure();
    if (const Status ready = ChunkCache::prepare(); !ready)
        return ready.failure();

    // What the record vouches for needs no reading; the assembly checks each
    // local chunk by its SHA-256 all the same.
    const std::optional<ChunkIndex> installed = ChunkCache::loadInstalledIndex(input.gameDir);
    if (installed) {
        QSet<QString> intact;
        for (const IndexedFile &file : installed->files) {
            if (input.record.vouchesFor(file.key, file.crc))
                intact.insert(file.key);
        }
        setup.plan = planChunks(setup.target, input.wanted, &*installed, intact);
    } else {
        setup.plan = planChunks(setup.target, input.wanted, &setup.target, input.goodKeys);
    }

    QSet<ChunkId> keep;
    for (const quint32 row : std::as_const(setup.plan.fetch))
        keep.insert(setup.target.chunks[row].id);
    ChunkCache::keepOnly(keep);
    // Chunks fetched before a kill are not fetched again.
    for (const quint32 row : std::as_const(setup.plan.fetch)) {
        const IndexedChunk &chunk = setup.target.chunks[row];
        if (!QFileInfo::exists(ChunkCache::chunkFile(chunk.id)))
            continue;
        if (cachedChunkIsWhole(chunk))
            setup.cached.insert(row);
        else
            ChunkCache::removeChunk(chunk.id);
    }
    return setup;
}

Status assemble(const ChunkIndex &target, const ChunkPlan::File &file, const QString &gameDir,
                const std::atomic_bool &stop)
{
    const QString path = EngineFolders::stagingPath(file.key);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return Status::fail(Failure::Kind::FileSystem,
                            QStringLiteral("Could not create directory path for download"));
    const FetchedChunk fetched = [&stop](const ChunkId &id) -> Result<QByteArray> {
        if (stop)
            return Result<QByteArray>::fail(Failure::Kind::Cancelled, QStringLiteral("stopped"));
        return ChunkCache::readChunk(id);
    };
    const Status assembled = assembleFile(target, file, gameDir, fetched, path);
    if (!assembled && !stop) {
        // A damaged chunk must not spoil the next attempt.
        for (const ChunkPlan::Piece &piece : file.pieces) {
            const IndexedChunk &chunk = target.chunks[piece.chunk];
            if (!piece.local && !cachedChunkIsWhole(chunk))
                ChunkCache::removeChunk(chunk.id);
        }
    }
    return assembled;
}

} // namespace ChunkWork
