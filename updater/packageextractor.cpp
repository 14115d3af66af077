#include "packageextractor.h"

#include "filekey.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>

namespace {

// Unix made the entry when the creator's host byte says so; only then do its
// permission bits mean anything.
constexpr int unixHost = 3;

// Writes beside the target and then swaps it in: a program that is running
// (the updater itself, say) cannot be opened for writing, but it can be
// removed on Linux or renamed aside on Windows.
bool replaceFile(const QString &path, const QByteArray &content, QFile::Permissions permissions)
{
    const QString part = path + QStringLiteral(".part");
    QFile file(part);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    if (file.write(content) != content.size() || !file.flush()) {
        file.remove();
        return false;
    }
    file.close();
    if (permissions)
        file.setPermissions(permissions);
    if (QFileInfo::exists(path) && !QFile::remove(path)) {
        const QString aside = path + QStringLiteral(".old");
        QFile::remove(aside);
        if (!QFile::rename(path, aside)) {
            QFile::remove(part);
            return false;
        }
    }
    if (!QFile::rename(part, path)) {
        QFile::remove(part);
        return false;
    }
    return true;
}

bool extractEntry(QuaZip &zip, const QString &name, const QString &targetFolder)
{
    QuaZipFileInfo64 info;
    zip.getCurrentFileInfo(&info);
    if (!isContainedRelativePath(name) || info.isSymbolicLink()) {
        qDebug().noquote() << "Refused archive entry:" << name;
        return false;
    }
    const QString outputPath = targetFolder + QLatin1Char('/') + name;
    if (name.endsWith(QLatin1Char('/')))
        return QDir().mkpath(outputPath);

    QuaZipFile entry(&zip);
    if (!entry.open(QIODevice::ReadOnly)) {
        qDebug().noquote() << "Failed to open file in zip:" << name;
        return false;
    }
    const QByteArray content = entry.readAll();
    const bool complete = entry.getZipError() == UNZ_OK;
    entry.close();
    // A damaged entry fails its CRC check on close.
    if (!complete || entry.getZipError() != UNZ_OK) {
        qDebug().noquote() << "Failed to read file in zip:" << name;
        return false;
    }
    QDir().mkpath(QFileInfo(outputPath).absolutePath());
    const QFile::Permissions permissions =
        (info.versionCreated >> 8) == unixHost ? info.getPermissions() : QFile::Permissions();
    if (!replaceFile(outputPath, content, permissions)) {
        qDebug().noquote() << "Failed to create output file:" << outputPath;
        return false;
    }
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
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        if (!extractEntry(zip, zip.getCurrentFileName(), targetFolder))
            ++result.failedEntries;
    }
    zip.close();
    return result;
}
