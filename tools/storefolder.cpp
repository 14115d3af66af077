#include "storefolder.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

namespace {

bool isChunkName(const QString &name)
{
    if (name.size() != 2 * chunkIdBytes)
        return false;
    for (const QChar c : name) {
        if (!c.isDigit() && !(c >= QLatin1Char('a') && c <= QLatin1Char('f')))
            return false;
    }
    return true;
}

// A folder of the store: made when asked, refused when it is anything but a real folder.
Status realFolder(const QString &path, bool create)
{
    const QFileInfo info(path);
    if (info.isSymLink() || (info.exists() && !info.isDir()))
        return Status::fail(Failure::Kind::Refused,
                            QStringLiteral("%1 is not a folder (a link or a file)").arg(path));
    // Removing files from a folder others can write would let them choose what goes.
    if (!create && info.exists() &&
        (info.permissions() & (QFileDevice::WriteGroup | QFileDevice::WriteOther)))
        return Status::fail(Failure::Kind::Refused,
                            QStringLiteral("%1 can be written by other users").arg(path));
    if (!info.exists() && (!create || !QDir().mkdir(path)))
        return Status::fail(Failure::Kind::FileSystem,
                            QStringLiteral("%1: %2").arg(path, create
                                                                   ? QStringLiteral("cannot create")
                                                                   : QStringLiteral("missing")));
    return {};
}

} // namespace

StoreFolder::StoreFolder(const QString &outDir)
    : outDir(outDir), lock(outDir + QLatin1Char('/') + chunkStoreFolder + QStringLiteral("/lock"))
{
}

QString StoreFolder::buildsFolder() const
{
    return outDir + QLatin1Char('/') + chunkStoreFolder + QStringLiteral("/builds");
}

Result<std::unique_ptr<StoreFolder>> StoreFolder::open(const QString &outDir, bool create)
{
    using Opened = Result<std::unique_ptr<StoreFolder>>;
    const QString root = outDir + QLatin1Char('/') + chunkStoreFolder;
    for (const QString &folder :
         {root, root + QStringLiteral("/chunks"), root + QStringLiteral("/builds")}) {
        if (Status made = realFolder(folder, create); !made)
            return made.failure();
    }
    std::unique_ptr<StoreFolder> store(new StoreFolder(outDir));
    store->lock.setStaleLockTime(0);
    if (!store->lock.tryLock(0))
        return Opened::fail(Failure::Kind::Busy,
                            QStringLiteral("another publish or prune is working on %1").arg(root));
    // The two-digit folders: made up front, since concurrent mkdir calls can race.
    for (int i = 0; i < 256; ++i) {
        const QString fan = root + QStringLiteral("/chunks/") +
                            QStringLiteral("%1").arg(i, 2, 16, QLatin1Char('0'));
        if (QFileInfo::exists(fan) || create) {
            if (Status made = realFolder(fan, create); !made)
                return made.failure();
        }
    }
    return Opened(std::move(store));
}

QHash<ChunkId, qint64> StoreFolder::chunks(QStringList *leftovers) const
{
    QHash<ChunkId, qint64> found;
    const QString root = outDir + QLatin1Char('/') + chunkStoreFolder + QStringLiteral("/chunks");
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        QString name = info.fileName();
        const bool part = name.endsWith(partSuffix);
        if (part)
            name.chop(partSuffix.size());
        // Only where the store itself puts a chunk: chunks/<first two digits>/<name>.
        if (!isChunkName(name) ||
            info.dir().absolutePath() != root + QLatin1Char('/') + name.left(2))
            continue;
        if (!part)
            found.insert(QByteArray::fromHex(name.toLatin1()), info.size());
        else if (leftovers)
            leftovers->append(info.filePath());
    }
    return found;
}
