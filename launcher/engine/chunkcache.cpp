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

Status privateFolder(const QString &path)
{
    const platform::FolderCheck check = platform::ensurePrivateFolder(path);
    if (check.ok)
        return {};
    qWarning().noquote() << "Refused the chunk folder:" << check.error;
    return Status::fail(Failure::Kind::Refused, check.error);
}

} // namespace

ChunkCache::ChunkCache(const QString &engineFolder) : engineFolder(engineFolder) {}

ChunkCache ChunkCache::ofEngine()
{
    return ChunkCache(EngineFolders::privateDirectory());
}

QString ChunkCache::folder() const
{
    return engineFolder + QStringLiteral("/chunks");
}

QString ChunkCache::chunkFile(const ChunkId &id) const
{
    return folder() + QLatin1Char('/') + QString::fromLatin1(id.toHex());
}

QString ChunkCache::indexFolder() const
{
    return engineFolder + QStringLiteral("/installed-index");
}

QString ChunkCache::indexFileOf(const QString &installFolder) const
{
    // Named after the canonical path, like the install record: one per game folder.
    const QString canonical = InstallRecordStore::canonicalFolder(installFolder);
    if (canonical.isEmpty())
        return {};
    return indexFolder() + QLatin1Char('/') +
           QString::fromLatin1(sha256Of(canonical.toUtf8()).toHex()) + QStringLiteral(".index");
}

Status ChunkCache::prepare() const
{
    for (const QString &path : {engineFolder, folder(), indexFolder()}) {
        if (const Status ready = privateFolder(path); !ready)
            return ready;
    }
    return {};
}

Result<QByteArray> ChunkCache::readChunk(const ChunkId &id) const
{
    QFile file(chunkFile(id));
    if (QFileInfo(file).isSymLink() || !file.open(QIODevice::ReadOnly))
        return Result<QByteArray>::fail(
            Failure::Kind::FileSystem,
            QStringLiteral("chunk %1 is not cached").arg(QString::fromLatin1(id.toHex())));
    return file.readAll();
}

void ChunkCache::removeChunk(const ChunkId &id) const
{
    QFile::remove(chunkFile(id));
}

void ChunkCache::keepOnly(const QSet<ChunkId> &keep) const
{
    const QFileInfoList entries =
        QDir(folder()).entryInfoList(QDir::Files | QDir::System | QDir::Hidden);
    for (const QFileInfo &entry : entries) {
        if (!keep.contains(QByteArray::fromHex(entry.fileName().toLatin1())))
            QFile::remove(entry.filePath());
    }
}

Status ChunkCache::saveInstalledIndex(const QString &installFolder, const QByteArray &stored) const
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

std::optional<ChunkIndex> ChunkCache::loadInstalledIndex(const QString &installFolder) const
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
