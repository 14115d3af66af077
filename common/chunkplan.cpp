#include "chunkplan.h"

#include "checksum.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

ChunkPlan planChunks(const ChunkIndex &target, const QStringList &wanted,
                     const ChunkIndex *installed, const QSet<QString> &intact)
{
    // One local copy of each chunk the player has, from any intact file.
    QHash<ChunkId, LocalCopy> have;
    if (installed) {
        for (const IndexedFile &file : installed->files) {
            if (!intact.contains(file.key))
                continue;
            for (const ChunkRef &ref : file.chunks)
                have.insert(installed->chunks[ref.chunk].id, LocalCopy{file.key, ref.offset});
        }
    }
    QHash<QString, const IndexedFile *> listed;
    for (const IndexedFile &file : target.files)
        listed.insert(file.key, &file);

    ChunkPlan plan;
    QSet<quint32> fetching;
    for (const QString &key : wanted) {
        const IndexedFile *file = listed.value(key);
        if (!file) {
            plan.wholeFiles.append(key);
            continue;
        }
        ChunkPlan::File assembled{key, file->size, file->crc, {}};
        QList<quint32> rows; // chunks this file adds to the fetch list
        QSet<quint32> added;
        qint64 storedBytes = 0;
        bool reusesLocal = false;
        for (const ChunkRef &ref : file->chunks) {
            const IndexedChunk &chunk = target.chunks[ref.chunk];
            const auto local = have.constFind(chunk.id);
            if (local != have.constEnd()) {
                assembled.pieces.append({ref.chunk, *local});
                reusesLocal = true;
                continue;
            }
            assembled.pieces.append({ref.chunk, std::nullopt});
            if (!fetching.contains(ref.chunk) && !added.contains(ref.chunk)) {
                added.insert(ref.chunk);
                rows.append(ref.chunk);
                storedBytes += chunk.storedSize;
            }
        }
        // Nothing to reuse and hardly any compression (media, packed archives):
        // one request for the whole file beats one per chunk.
        if (!reusesLocal && storedBytes * 10 >= file->size * 9 && file->size > 0) {
            plan.wholeFiles.append(key);
            continue;
        }
        for (const quint32 row : std::as_const(rows)) {
            fetching.insert(row);
            plan.fetch.append(row);
        }
        plan.fetchBytes += storedBytes;
        plan.files.append(assembled);
    }
    return plan;
}

namespace {

// Chunks of installed files, read through one open file at a time.
class LocalReader
{
public:
    explicit LocalReader(const QString &gameDir) : gameDir(gameDir) {}
    Result<QByteArray> read(const LocalCopy &copy, const IndexedChunk &chunk)
    {
        if (file.fileName().isEmpty() || copy.key != key) {
            file.close();
            key = copy.key;
            file.setFileName(QDir::cleanPath(gameDir + QLatin1Char('/') + copy.key));
            if (!file.open(QIODevice::ReadOnly))
                return Result<QByteArray>::fail(Failure::Kind::FileSystem, file.errorString());
        }
        QByteArray bytes;
        if (file.isOpen() && file.seek(copy.offset))
            bytes = file.read(chunk.size);
        // The record said the file is intact, but the player may have touched it since.
        if (bytes.size() != chunk.size || sha256Of(bytes) != chunk.id)
            return Result<QByteArray>::fail(Failure::Kind::InvalidData,
                                            QStringLiteral("%1 has changed").arg(copy.key));
        return bytes;
    }

private:
    QString gameDir;
    QString key;
    QFile file;
};

} // namespace

Status assembleFile(const ChunkIndex &target, const ChunkPlan::File &file, const QString &gameDir,
                    const FetchedChunk &fetched, const QString &path)
{
    const auto failed = [&](const Failure &failure) {
        QFile::remove(path);
        return Status(Failure{failure.kind, file.key + QStringLiteral(": ") + failure.message});
    };
    // Written under a temporary name: a kill never leaves a file that looks whole.
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return failed({Failure::Kind::FileSystem, out.errorString()});
    LocalReader local(gameDir);
    quint32 crc = 0;
    qint64 size = 0;
    for (const ChunkPlan::Piece &piece : file.pieces) {
        const IndexedChunk &chunk = target.chunks[piece.chunk];
        Result<QByteArray> bytes =
            piece.local ? local.read(*piece.local, chunk) : Result<QByteArray>(QByteArray());
        if (!piece.local || !bytes) {
            const Result<QByteArray> stored = fetched(chunk.id);
            if (!stored)
                return failed(stored.failure());
            if (stored.value().size() != chunk.storedSize)
                return failed({Failure::Kind::InvalidData,
                               QStringLiteral("chunk of %1 bytes where %2 were listed")
                                   .arg(stored.value().size())
                                   .arg(chunk.storedSize)});
            bytes = unpackChunk(stored.value(), chunk.size, chunk.id);
            if (!bytes)
                return failed(bytes.failure());
        }
        crc = crc32Update(crc, bytes.value().constData(), bytes.value().size());
        size += bytes.value().size();
        if (out.write(bytes.value()) != bytes.value().size())
            return failed({Failure::Kind::FileSystem, out.errorString()});
    }
    // The manifest's size and checksum stay the final word, whatever the chunks said.
    if (size != file.size || crc != file.crc)
        return failed({Failure::Kind::InvalidData, QStringLiteral("assembled file differs")});
    if (!out.commit())
        return failed({Failure::Kind::FileSystem, out.errorString()});
    return {};
}
