#include "legacyinstallation.h"

#include "filekey.h"
#include "platform/platform.h"
#include "responsivewait.h"
#include "settings.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <quazip.h>
#include <quazipfile.h>

#include <memory>

namespace {

Status unreadable(const QString &archive)
{
    return Status::fail(Failure::Kind::InvalidData,
                        QStringLiteral("Could not unpack %1").arg(archive));
}

// Writes every entry of `archive` below `folder`. Names are checked before
// anything is written, so a hostile archive leaves the folder untouched.
Status extractArchive(const QString &archive, const QString &folder)
{
    QuaZip zip(archive);
    if (!zip.open(QuaZip::mdUnzip))
        return unreadable(archive);
    const QStringList names = zip.getFileNameList();
    for (const QString &name : names) {
        if (!isContainedRelativePath(name))
            return Status::fail(
                Failure::Kind::Refused,
                QStringLiteral("Refused archive entry %1 in %2").arg(name, archive));
    }

    constexpr qint64 chunkBytes = 256 * 1024;
    const std::unique_ptr<char[]> buffer(new char[chunkBytes]);
    QuaZipFile entry(&zip);
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        const QString name = zip.getCurrentFileName();
        const QString target =
            QDir::toNativeSeparators(QDir::cleanPath(folder + QLatin1Char('/') + name));
        // A folder entry is a folder, not an empty file that would block its contents.
        if (name.endsWith(QLatin1Char('/'))) {
            if (!QDir().mkpath(target))
                return unreadable(archive);
            continue;
        }
        if (!entry.open(QIODevice::ReadOnly))
            return unreadable(archive);
        QDir().mkpath(QFileInfo(target).path());
        QFile out(target);
        if (!out.open(QIODevice::WriteOnly)) {
            entry.close();
            return unreadable(archive);
        }
        // In bounded chunks: an entry may be far larger than memory should hold.
        bool written = true;
        for (;;) {
            const qint64 length = entry.read(buffer.get(), chunkBytes);
            if (length <= 0) {
                written = length == 0;
                break;
            }
            if (out.write(buffer.get(), length) != length) {
                written = false;
                break;
            }
        }
        entry.close();
        out.close();
        if (!written || entry.getZipError() != UNZ_OK)
            return unreadable(archive);
    }
    zip.close();
    if (zip.getZipError() != UNZ_OK)
        return unreadable(archive);
    return {};
}

} // namespace

QString LegacyInstallation::directory()
{
    return QDir::toNativeSeparators(QDir::cleanPath(
        platform::roamingAppDataPath() + QLatin1Char('/') + Settings::instance->legacyDir));
}

bool LegacyInstallation::exists()
{
    const QDir legacy(directory());
    return legacy.exists() && legacy.exists(QStringLiteral(".initcomplete"));
}

Status LegacyInstallation::unpackArchive()
{
    const QString folder = directory();
    const QString archive = folder + QStringLiteral("/data.bin");
    if (!QFile::exists(archive))
        return {};
    Status extracted;
    runWhileResponsive([&] { extracted = extractArchive(archive, folder); });
    if (!extracted) {
        qWarning().noquote() << extracted.message();
        return extracted;
    }
    QFile::remove(archive);
    return {};
}
