#include "chunkpublisher.h"

#include "platform/platform.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSaveFile>

ChunkPublisher::ChunkPublisher(std::unique_ptr<StoreFolder> store, const ChunkLimits &limits,
                               int level)
    : folder(std::move(store)), cutLimits(limits), level(level), onDisk(folder->chunks())
{
}

Result<quint32> ChunkPublisher::add(QByteArrayView raw)
{
    const ChunkId id = sha256Of(raw);
    quint32 row = 0;
    {
        QMutexLocker locker(&mutex);
        const auto found = rows.constFind(id);
        if (found != rows.constEnd())
            return *found;
        row = quint32(table.size());
        rows.insert(id, row);
        table.append(IndexedChunk{id, qint32(raw.size()), 0});
    }
    // The first to meet a chunk stores it; others that meet it meanwhile take the
    // row, and its stored size is in place before the index is written.
    const Result<qint32> stored = store(id, raw);
    if (!stored)
        return stored.failure();
    QMutexLocker locker(&mutex);
    table[row].storedSize = stored.value();
    return row;
}

Result<qint32> ChunkPublisher::store(const ChunkId &id, QByteArrayView raw)
{
    const qint64 present = onDisk.value(id, 0);
    if (present > 0)
        return qint32(present);
    const Result<QByteArray> packed = compressChunk(raw, level);
    if (!packed)
        return packed.failure();
    // Renamed into place when whole; no sync per chunk (thousands of them would
    // cost more than the rest of publishing), the index and manifest are synced.
    const QString path = folder->path(chunkPath(id));
    QFile file(path + partSuffix);
    const bool whole =
        file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered) &&
        file.write(packed.value()) == packed.value().size() && file.flush();
    file.close();
    // Replacing: an empty file left under the chunk's name is written again.
    if (!whole || !platform::replaceFile(file.fileName(), path)) {
        const QString why = whole ? qt_error_string() : file.errorString();
        file.remove();
        return Result<qint32>::fail(Failure::Kind::FileSystem,
                                    QStringLiteral("cannot write %1: %2").arg(path, why));
    }
    written.fetch_add(1);
    writtenBytes.fetch_add(packed.value().size());
    return qint32(packed.value().size());
}

// Later than every build already in the store, even when the clock has gone
// back or two publishes fall in one millisecond: prune keeps builds by this order.
qint64 ChunkPublisher::publishTime() const
{
    qint64 latest = 0;
    const QFileInfoList entries =
        QDir(folder->buildsFolder()).entryInfoList({QStringLiteral("*.index")}, QDir::Files);
    for (const QFileInfo &entry : entries) {
        QFile file(entry.filePath());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        if (const Result<ChunkIndex> index = decodeChunkIndex(file.readAll()))
            latest = qMax(latest, index->publishedAt);
    }
    return qMax(QDateTime::currentMSecsSinceEpoch(), latest + 1);
}

Status ChunkPublisher::writeIndex(QList<IndexedFile> files, const QByteArray &manifestBody)
{
    // Rows renumbered in file order, so the index does not depend on which
    // worker met a chunk first.
    ChunkIndex index;
    index.manifestSha = sha256Of(manifestBody);
    index.publishedAt = publishTime();
    index.limits = cutLimits;
    QList<qint64> renumbered(table.size(), -1);
    for (IndexedFile &file : files) {
        for (ChunkRef &ref : file.chunks) {
            qint64 &row = renumbered[ref.chunk];
            if (row < 0) {
                row = index.chunks.size();
                index.chunks.append(table[ref.chunk]);
            }
            ref.chunk = quint32(row);
        }
    }
    index.files = std::move(files);
    const QByteArray stored = encodeChunkIndex(index);
    QSaveFile file(folder->path(buildIndexPath(index.manifestSha)));
    if (!file.open(QIODevice::WriteOnly) || file.write(stored) != stored.size() || !file.commit())
        return Status::fail(
            Failure::Kind::FileSystem,
            QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()));
    return {};
}
