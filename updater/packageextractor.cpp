#include "packageextractor.h"

#include "filekey.h"
#include "platform/platform.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>

#include <memory>

namespace {

// Unix made the entry when the creator's host byte says so; only then do its
// permission bits mean anything.
constexpr int unixHost = 3;
constexpr qint64 chunkBytes = 256 * 1024;

struct Staged
{
    QString name;
    QFile::Permissions permissions; // none: keep what the replaced file had
};

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

bool unpackEntry(QuaZip &zip, const QString &name, const QString &stage, char *buffer,
                 QList<Staged> &staged)
{
    QuaZipFileInfo64 info;
    zip.getCurrentFileInfo(&info);
    if (!isContainedRelativePath(name) || info.isSymbolicLink()) {
        qDebug().noquote() << "Refused archive entry:" << name;
        return false;
    }
    const QString outputPath = stage + QLatin1Char('/') + name;
    if (name.endsWith(QLatin1Char('/'))) {
        staged.append({name, {}});
        return QDir().mkpath(outputPath);
    }

    QuaZipFile entry(&zip);
    if (!entry.open(QIODevice::ReadOnly)) {
        qDebug().noquote() << "Failed to open file in zip:" << name;
        return false;
    }
    QDir().mkpath(QFileInfo(outputPath).absolutePath());
    QFile out(outputPath);
    bool ok = out.open(QIODevice::WriteOnly | QIODevice::Truncate) && copyEntry(entry, out, buffer);
    ok = ok && out.flush();
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
    staged.append({name, permissions});
    return true;
}

} // namespace

PackageExtraction extractPackage(const QString &archivePath, const QString &targetFolder)
{
    PackageExtraction result;
    QuaZip zip(archivePath);
    if (!zip.open(QuaZip::mdUnzip))
        return result;
    result.opened = true;

    // Hidden, beside the files it replaces: the swap is a rename on one file system.
    QTemporaryDir stage(targetFolder + QStringLiteral("/.update-XXXXXX"));
    if (!stage.isValid()) {
        result.failedEntries = 1;
        return result;
    }
    const std::unique_ptr<char[]> buffer(new char[chunkBytes]);
    QList<Staged> staged;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        if (!unpackEntry(zip, zip.getCurrentFileName(), stage.path(), buffer.get(), staged))
            ++result.failedEntries;
    }
    zip.close();
    if (result.failedEntries > 0 || zip.getZipError() != UNZ_OK) {
        result.failedEntries = qMax(result.failedEntries, 1);
        return result;
    }

    for (const Staged &file : std::as_const(staged)) {
        const QString from = stage.path() + QLatin1Char('/') + file.name;
        const QString to = targetFolder + QLatin1Char('/') + file.name;
        if (file.name.endsWith(QLatin1Char('/'))) {
            QDir().mkpath(to);
            continue;
        }
        QFile::Permissions permissions = file.permissions;
        if (!permissions && QFileInfo::exists(to))
            permissions = QFile::permissions(to);
        if (permissions)
            QFile::setPermissions(from, permissions);
        QDir().mkpath(QFileInfo(to).absolutePath());
        if (!platform::replaceFile(from, to)) {
            qDebug().noquote() << "Failed to replace:" << to;
            result.swapFailed = true;
        }
    }
    return result;
}
