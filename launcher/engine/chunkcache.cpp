#include "chunkcache.h"

#include "enginefolders.h"
#include "installrecordstore.h"
#include "platform/platform.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

QString indexFolder()
{
    return EngineFolders::privateDirectory() + QStringLiteral("/installed-index");
}

QString indexFileOf(const QString &installFolder)
{
    // Named after the canonical path, like the install record: one per game folder.
    const QString canonical = InstallRecordStore::canonicalFolder(installFolder);
    if (canonical.isEmpty())
        return {};
    return indexFolder() + QLatin1Char('/') +
           QString::fromLatin1(sha256Of(canonical.toUtf8()).toHex()) + QStringLiteral(".index");
}

Status privateFolder(const QString &path)
{
    const platform::FolderCheck check = platform::ensurePrivateFolder(path);
    if (check.ok)
        return {};
    qWarning().noquote() << "Refused the chunk folder:" << check.error;
    return Status::fail(Failure::Kind::Refused, check.error);
}

} // namespace

namespace ChunkCache {

QString folder()
{
    return EngineFolders::privateDirectory() + QStringLiteral("/chunks");
}

QString chunkFile(const ChunkId &id)
{
    return folder() + QLatin1Char('/') + QString::fromLatin1(id.toHex());
}

Status prepare()
{
    if (const Status engine = EngineFolders::preparePrivate(); !engine)
        return engine;
    if (const Status chunks = privateFolder(folder()); !chunks)
        return chunks;
    return privateFolder(indexFolder());
}

Result<QByteArray> readChunk(const ChunkId &id)
{
    QFile file(chunkFile(id));
    if (QFileInfo(file).isSymLink() || !file.open(QIODevice::ReadOnly))
        return Result<QByteArray>::fail(
            Failure::Kind::FileSystem,
            QStringLiteral("chunk %1 is not cached").arg(QString::fromLatin1(id.toHex())));
    return file.readAll();
}

void removeChunk(const ChunkId &id)
{
    QFile::remove(chunkFile(id));
}

void keepOnly(const QSet<ChunkId> &keep)
{
    const QFileInfoList entries =
        QDir(folder()).entryInfoList(QDir::Files | QDir::System | QDir::Hidden);
    for (const QFileInfo &entry : entries) {
        if (!keep.contains(QByteArray::fromHex(entry.fileName().toLatin1())))
            QFile::remove(entry.filePath());
    }
}

void clear()
{
    keepOnly({});
}

Status saveInstalledIndex(const QString &installFolder, const QByteArray &stored)
{
    const QString path = indexFileOf(installFolder);
    if (path.isEmpty())
        return Status::fail(Failure::Kind::FileSystem, QStringLiteral("no such game folder"));
    if (const Status ready = prepare(); !ready)
        return ready;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(stored) != stored.size() || !file.commit())
        return Status::fail(Failure::Kind::FileSystem, file.errorString());
    return {};
}

std::optional<ChunkIndex> loadInstalledIndex(const QString &installFolder)
{
    const QString path = indexFileOf(installFolder);
    QFile file(path);
    if (path.isEmpty() || QFileInfo(file).isSymLink() || !file.open(QIODevice::ReadOnly) ||
        file.size() > maxChunkIndexStoredBytes)
        return std::nullopt;
    Result<ChunkIndex> index = decodeChunkIndex(file.readAll());
    if (!index)
        return std::nullopt;
    return std::move(index.value());
}

} // namespace ChunkCache
