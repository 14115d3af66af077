#include "filekey.h"
#include "messagebox.h"
#include "platform/platform.h"
#include "responsivewait.h"
#include "settings.h"
#include "updater.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <quazip.h>
#include <quazipfile.h>

#include <memory>

namespace {

QString legacyDirectory()
{
    return QDir::toNativeSeparators(QDir::cleanPath(
        platform::roamingAppDataPath() + QLatin1Char('/') + Settings::instance->legacyDir));
}

// Writes every entry of `archive` below `folder`. Names are checked before
// anything is written, so a hostile archive leaves the folder untouched.
bool extractArchive(const QString &archive, const QString &folder)
{
    QuaZip zip(archive);
    if (!zip.open(QuaZip::mdUnzip))
        return false;
    const QStringList names = zip.getFileNameList();
    for (const QString &name : names) {
        if (!isContainedRelativePath(name)) {
            qWarning().noquote() << "Refused archive entry" << name << "in" << archive;
            return false;
        }
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
                return false;
            continue;
        }
        if (!entry.open(QIODevice::ReadOnly))
            return false;
        QDir().mkpath(QFileInfo(target).path());
        QFile out(target);
        if (!out.open(QIODevice::WriteOnly)) {
            entry.close();
            return false;
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
            return false;
    }
    zip.close();
    return zip.getZipError() == UNZ_OK;
}

} // namespace

bool Updater::isGameRunning()
{
    const QString name = platform::executableFileName(Settings::instance->executableName);
    const QString folder = Settings::installPath();
    // Image paths come resolved, and the install folder may be reached through a link.
    const QString resolved = QFileInfo(folder).canonicalFilePath();
    // Walk the whole list: a copy running from another folder must not hide
    // the one running from ours.
    const QList<platform::ProcessInfo> processes = platform::runningProcesses();
    for (const platform::ProcessInfo &process : processes) {
        if (process.imageName == name && (platform::isImageInFolder(process.imagePath, folder) ||
                                          platform::isImageInFolder(process.imagePath, resolved)))
            return true;
    }
    return false;
}

void Updater::uninstall()
{
    // Nothing to ask while a mover runs: its folder may be the one to remove.
    if (!fileWorkAllowed() || uninstallAfterCheck)
        return;
    const QString dir = Settings::installPath();
    // An empty or relative path would name whatever folder we were started in.
    if (!isFullPath(dir) || !QDir(dir).exists())
        return;
    const QMessageBox::StandardButton answer = MessageBox::question(
        QStringLiteral("Confirm Uninstall"),
        QStringLiteral("Are you sure you want to uninstall? This will remove all game files."),
        QMessageBox::Yes | QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    if (manifestFiles.isEmpty()) {
        // What the game owns is only known from a manifest: fetch one first.
        uninstallAfterCheck = true;
        if (engineState != State::Checking)
            requestManifest();
        return;
    }
    performUninstall(dir);
}

void Updater::performUninstall(const QString &dir)
{
    // Only what the game owns goes: the folder may hold the player's other files.
    const QString list = writeOwnedList();
    if (list.isEmpty()) {
        emit downloadError(QStringLiteral("Some files could not be removed during uninstall"));
        return;
    }
    const auto removeList = qScopeGuard([list] { QFile::remove(list); });

    bool ok = false;
    {
        beginFileWork(State::Uninstalling);
        const auto end = qScopeGuard([this] { endFileWork(); });
        if (QFileInfo(dir).isWritable()) {
            ok = runFileMover(dir, QString(), {}, list);
        } else {
            const QString exe = QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
            platform::ElevatedRun run;
            runWhileResponsive([&] {
                run = platform::runElevated(
                    exe,
                    {QStringLiteral("--source"), QDir::toNativeSeparators(dir),
                     QStringLiteral("--dest"), QString(), QStringLiteral("--ignore"), QString(),
                     QStringLiteral("--list"), QDir::toNativeSeparators(list)},
                    platform::NoTimeLimit);
            });
            if (run.outcome == platform::ElevatedRun::Outcome::Declined) {
                emit downloadError(
                    QStringLiteral("Failed to uninstall - could not get necessary permissions"));
                return;
            }
            // Without a process or an exit code to look at, the mover is taken at its word.
            ok = run.outcome != platform::ElevatedRun::Outcome::Finished || run.exitCode == 0;
        }
    }

    if (!ok) {
        emit downloadError(QStringLiteral("Some files could not be removed during uninstall"));
        return;
    }
    emit stateChanged(QStringLiteral("install"));
    if (QFileInfo(dir).isDir())
        MessageBox::information(
            QStringLiteral("Uninstall"),
            QStringLiteral("The game was removed. The folder %1 was kept because it still holds "
                           "files that are not part of the game.")
                .arg(QDir::toNativeSeparators(dir)));
    recheckRequired = true;
    checkForUpdates();
}

bool Updater::hasLegacyInstallation()
{
    const QDir legacy(legacyDirectory());
    return legacy.exists() && legacy.exists(QStringLiteral(".initcomplete"));
}

bool Updater::migrateLegacyInstallation()
{
    // Only one file operation at a time; this one moves nothing meanwhile.
    if (!fileWorkAllowed())
        return false;
    beginFileWork();
    const auto end = qScopeGuard([this] { endFileWork(); });

    const QString legacy = legacyDirectory();
    const QString destination = Settings::installPath();

    const QString archive = legacy + QStringLiteral("/data.bin");
    if (QFile::exists(archive)) {
        bool extracted = false;
        runWhileResponsive([&] { extracted = extractArchive(archive, legacy); });
        if (!extracted)
            return false;
        QFile::remove(archive);
    }
    // The old client's own settings stay with it.
    const QString refusal = checkFolderPair(legacy, destination);
    if (!refusal.isEmpty()) {
        emit downloadError(refusal);
        return false;
    }
    return runFileMover(legacy, destination,
                        {QStringLiteral("config.otml"), QStringLiteral("data.bin")});
}
