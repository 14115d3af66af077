#include "installrecordstore.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <utility>

namespace {

// A record is a few dozen bytes a file; this bounds what a stray file can make us read.
constexpr qint64 maxRecordBytes = 256LL * 1024 * 1024;

} // namespace

InstallRecordStore::InstallRecordStore(QString folder, platform::Os os)
    : folder(std::move(folder)), os(os)
{
}

QString InstallRecordStore::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
           QStringLiteral("/install-records");
}

QString InstallRecordStore::canonicalFolder(const QString &installFolder)
{
    const QFileInfo info(installFolder);
    return installFolder.isEmpty() || !info.isDir() ? QString() : info.canonicalFilePath();
}

QString InstallRecordStore::fileFor(const QString &canonicalFolder) const
{
    // Windows finds one folder under any letter case.
    const QString name =
        os == platform::Os::Windows ? canonicalFolder.toCaseFolded() : canonicalFolder;
    const QByteArray hash =
        QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha256).toHex().left(32);
    return folder + QLatin1Char('/') + QString::fromLatin1(hash) + QStringLiteral(".record");
}

InstallRecord InstallRecordStore::load(const QString &installFolder) const
{
    const QString canonical = canonicalFolder(installFolder);
    // Records steer what is removed: one another user could have written is none.
    if (canonical.isEmpty() || !platform::ensurePrivateFolder(folder).ok)
        return {};
    QFile file(fileFor(canonical));
    if (!file.open(QIODevice::ReadOnly) || file.size() > maxRecordBytes)
        return {};
    InstallRecord record = InstallRecord::parse(file.readAll());
    const Qt::CaseSensitivity cs =
        os == platform::Os::Windows ? Qt::CaseInsensitive : Qt::CaseSensitive;
    if (record.installFolder().compare(canonical, cs) != 0)
        return {};
    return record;
}

Status InstallRecordStore::save(const InstallRecord &record) const
{
    if (record.isEmpty())
        return Status::fail(Failure::Kind::Internal, QStringLiteral("No game folder to record."));
    const platform::FolderCheck check = platform::ensurePrivateFolder(folder);
    if (!check.ok)
        return Status::fail(Failure::Kind::Refused, check.error);
    QSaveFile file(fileFor(record.installFolder()));
    if (!file.open(QIODevice::WriteOnly))
        return Status::fail(Failure::Kind::FileSystem, file.errorString());
    const QByteArray bytes = record.serialize();
    if (file.write(bytes) != bytes.size() || !file.commit())
        return Status::fail(Failure::Kind::FileSystem, file.errorString());
    return {};
}

Status InstallRecordStore::remove(const QString &canonicalFolder) const
{
    if (canonicalFolder.isEmpty())
        return {};
    QFile file(fileFor(canonicalFolder));
    if (file.exists() && !file.remove())
        return Status::fail(Failure::Kind::FileSystem, file.errorString());
    return {};
}
