#include "maintenance.h"

#include "enginefolders.h"
#include "filekey.h"
#include "legacyinstallation.h"
#include "moverclient.h"
#include "platform/platform.h"
#include "settings.h"
#include "stagedinstall.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

namespace {

Result<QString> writeOwnedList(const QJsonObject &table)
{
    return MoverClient::writeList(QStringLiteral("owned-files.txt"),
                                  Maintenance::ownedEntries(table));
}

} // namespace

bool Maintenance::isGameRunning()
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

QStringList Maintenance::ownedEntries(const QJsonObject &table)
{
    QStringList entries;
    for (auto it = table.constBegin(); it != table.constEnd(); ++it) {
        const QString key = it.key();
        if (!isSafeFileKey(key))
            continue;
        const QString relative = key.startsWith(QLatin1Char('/')) ? key.mid(1) : key;
        if (!relative.isEmpty())
            entries.append(relative);
    }
    entries.append(QStringLiteral(".initcomplete"));
    return entries;
}

Status Maintenance::asFileWork(bool uninstalling, const std::function<Status()> &step)
{
    emit fileWorkStarted(uninstalling);
    const auto end = qScopeGuard([this] { emit fileWorkEnded(); });
    return step();
}

void Maintenance::report(const Status &status)
{
    if (!status)
        emit error(status.message());
}

bool Maintenance::installFiles(const QString &source, const QString &destination,
                               const QStringList &ignore)
{
    // An empty destination would be the mover's delete mode, which only uninstall may start.
    Status moved = MoverClient::checkFolderPair(source, destination);
    if (moved)
        moved = asFileWork(false, [&] { return MoverClient::run(source, destination, ignore); });
    report(moved);
    return moved.ok();
}

Maintenance::MoveIn Maintenance::moveStagedIn(const QSet<QString> &keys, const QJsonObject &table)
{
    const Result<StagedInstall::Plan> plan = StagedInstall::prepare(keys, table);
    if (!plan) {
        emit error(plan.message());
        return plan.kind() == Failure::Kind::GameRunning ? MoveIn::GameRunning : MoveIn::Failed;
    }
    if (plan->entries.isEmpty())
        return MoveIn::NothingStaged;
    const QString list = plan->listFile;
    const auto removeList = qScopeGuard([list] { QFile::remove(list); });
    const Status moved = asFileWork(false, [&] {
        return MoverClient::run(EngineFolders::stagingDirectory(), Settings::installPath(), {},
                                list);
    });
    report(moved);
    return moved ? MoveIn::Installed : MoveIn::Failed;
}

Maintenance::Relocation Maintenance::relocate(const QString &destination, const QJsonObject &table)
{
    Relocation result;
    const QString source = Settings::installPath();
    const Status pair = MoverClient::checkFolderPair(source, destination);
    if (!pair) {
        result.error = pair.message();
        return result;
    }
    if (!QFileInfo(source).isDir()) {
        result.ok = true; // nothing installed there yet: nothing to move
        return result;
    }
    if (table.isEmpty()) {
        result.error = QStringLiteral("The list of the game's files is not known yet. Please "
                                      "check for updates first.");
        return result;
    }
    const Result<QString> list = writeOwnedList(table);
    if (!list) {
        result.error = QStringLiteral("Could not prepare the list of the game's files.");
        return result;
    }
    const QString listFile = list.value();
    const auto removeList = qScopeGuard([listFile] { QFile::remove(listFile); });
    const Status moved =
        asFileWork(false, [&] { return MoverClient::run(source, destination, {}, listFile); });
    result.ok = moved.ok();
    result.error = moved.ok() ? QString() : moved.message();
    result.leftOtherFiles = QFileInfo(source).isDir();
    return result;
}

bool Maintenance::removeGame(const QString &folder, const QJsonObject &table)
{
    const QString someFilesKept =
        QStringLiteral("Some files could not be removed during uninstall");
    // Only what the game owns goes: the folder may hold the player's other files.
    const Result<QString> list = writeOwnedList(table);
    if (!list) {
        emit error(someFilesKept);
        return false;
    }
    const QString listFile = list.value();
    const auto removeList = qScopeGuard([listFile] { QFile::remove(listFile); });
    const Status removed = asFileWork(true, [&]() -> Status {
        if (!QFileInfo(folder).isWritable())
            return MoverClient::removeElevated(folder, listFile);
        const Status moved = MoverClient::run(folder, QString(), {}, listFile);
        report(moved);
        return moved ? Status() : Status::fail(Failure::Kind::Internal, someFilesKept);
    });
    report(removed);
    return removed.ok();
}

bool Maintenance::migrateLegacy()
{
    const QString legacy = LegacyInstallation::directory();
    const QString destination = Settings::installPath();
    bool unpacked = false;
    const Status migrated = asFileWork(false, [&]() -> Status {
        const Status archive = LegacyInstallation::unpackArchive();
        if (!archive)
            return archive;
        unpacked = true;
        const Status pair = MoverClient::checkFolderPair(legacy, destination);
        if (!pair)
            return pair;
        // The old client's own settings stay with it.
        return MoverClient::run(legacy, destination,
                                {QStringLiteral("config.otml"), QStringLiteral("data.bin")});
    });
    // An archive that cannot be unpacked has no message of its own: the window
    // says that the migration failed.
    if (unpacked)
        report(migrated);
    return migrated.ok();
}
