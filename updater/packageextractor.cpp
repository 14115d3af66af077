#include "packageextractor.h"

#include "filekey.h"
#include "platform/platform.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>

#include <memory>

namespace {

// Unix made the entry when the creator's host byte says so; only then do its
// permission bits mean anything.
constexpr int unixHost = 3;
constexpr qint64 chunkBytes = 256 * 1024;

bool copyEntry(QuaZipFile &entry, QFile &out, char *buffer)
{
    for (;;) {
        const qint64 length = entry.read(buffer, chunkBytes);
        if (length < 0)
            return false;
        if (length == 0)
            return true;
        if (out.write(buffer, length) != length)
            return false;
    }
}

bool unpackEntry(QuaZip &zip, const QString &name, const QString &stage, const QString &target,
                 char *buffer)
{
    QuaZipFileInfo64 info;
    zip.getCurrentFileInfo(&info);
    if (!isContainedRelativePath(name) || info.isSymbolicLink()) {
        qDebug().noquote() << "Refused archive entry:" << name;
        return false;
    }
    const QString outputPath = stage + QLatin1Char('/') + name;
    if (name.endsWith(QLatin1Char('/')))
        return QDir().mkpath(outputPath);

    QuaZipFile entry(&zip);
    if (!entry.open(QIODevice::ReadOnly)) {
        qDebug().noquote() << "Failed to open file in zip:" << name;
        return false;
    }
    QDir().mkpath(QFileInfo(outputPath).absolutePath());
    QFile out(outputPath);
    bool ok = out.open(QIODevice::WriteOnly | QIODevice::Truncate) && copyEntry(entry, out, buffer);
    // On the disk before the swap is recorded: it may be finished after a crash.
    ok = ok && platform::flushToDisk(out);
    out.close();
    // A damaged entry fails its CRC check on close.
    entry.close();
    if (!ok || entry.getZipError() != UNZ_OK) {
        qDebug().noquote() << "Failed to unpack file in zip:" << name;
        return false;
    }
    QFile::Permissions permissions;
    if ((info.versionCreated >> 8) == unixHost)
        permissions = info.getPermissions();
    const QString replaced = target + QLatin1Char('/') + name;
    if (!permissions && QFileInfo::exists(replaced))
        permissions = QFile::permissions(replaced);
    return !permissions || QFile::setPermissions(outputPath, permissions);
}

} // namespace

Result<QStringList> extractPackage(const QString &archivePath, const QString &stagingFolder,
                                   const QString &targetFolder)
{
    QuaZip zip(archivePath);
    if (!zip.open(QuaZip::mdUnzip))
        return Result<QStringList>::fail(Failure::Kind::InvalidData,
                                         QStringLiteral("Failed to open zip file"));
    const auto bad = Result<QStringList>::fail(Failure::Kind::InvalidData,
                                               QStringLiteral("Some files could not be updated"));
    if (!QDir().mkpath(stagingFolder))
        return bad;
    const std::unique_ptr<char[]> buffer(new char[chunkBytes]);
    QStringList entries;
    bool ok = true;
    for (bool more = zip.goToFirstFile(); more && ok; more = zip.goToNextFile()) {
        const QString name = zip.getCurrentFileName();
        ok = unpackEntry(zip, name, stagingFolder, targetFolder, buffer.get());
        entries.append(name);
    }
    zip.close();
    if (!ok || zip.getZipError() != UNZ_OK)
        return bad;
    return entries;
}
