#include "chunkwork.h"

#include "chunkcache.h"

#include <QDir>
#include <QFileInfo>

#include <optional>

namespace {

bool cachedChunkIsWhole(const ChunkCache &cache, const IndexedChunk &chunk)
{
    const Result<QByteArray> stored = cache.readChunk(chunk.id);
    return stored && stored->size() == chunk.storedSize &&
           unpackChunk(*stored, chunk.size, chunk.id).ok();
}

} // namespace

namespace ChunkWork {

Result<Setup> prepare(const Input &input, const ChunkCache &cache)
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
    if (const Status ready = cache.prepare(); !ready)
        return ready.failure();

    // What the record vouches for needs no reading; the assembly checks each
    // local chunk by its SHA-256 all the same.
    const std::optional<ChunkIndex> installed = cache.loadInstalledIndex(input.gameDir);
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
    cache.keepOnly(keep);
    // Chunks fetched before a kill are not fetched again.
    for (const quint32 row : std::as_const(setup.plan.fetch)) {
        const IndexedChunk &chunk = setup.target.chunks[row];
        if (!QFileInfo::exists(cache.chunkFile(chunk.id)))
            continue;
        if (cachedChunkIsWhole(cache, chunk))
            setup.cached.insert(row);
        else
            cache.removeChunk(chunk.id);
    }
    return setup;
}

Status assemble(const ChunkIndex &target, const ChunkPlan::File &file, const Input &where,
                const ChunkCache &cache, const std::atomic_bool &stop)
{
    const QString relative = file.key.startsWith(QLatin1Char('/')) ? file.key.mid(1) : file.key;
    const QString path = QDir::cleanPath(where.stagingFolder + QLatin1Char('/') + relative);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return Status::fail(Failure::Kind::FileSystem,
                            QStringLiteral("Could not create directory path for download"));
    const FetchedChunk fetched = [&stop, &cache](const ChunkId &id) -> Result<QByteArray> {
        if (stop)
            return Result<QByteArray>::fail(Failure::Kind::Cancelled, QStringLiteral("stopped"));
        return cache.readChunk(id);
    };
    const Status assembled = assembleFile(target, file, where.gameDir, fetched, path);
    if (!assembled && !stop) {
        // A damaged chunk must not spoil the next attempt.
        for (const ChunkPlan::Piece &piece : file.pieces) {
            const IndexedChunk &chunk = target.chunks[piece.chunk];
            if (!piece.local && !cachedChunkIsWhole(cache, chunk))
                cache.removeChunk(chunk.id);
        }
    }
    return assembled;
}

} // namespace ChunkWork
