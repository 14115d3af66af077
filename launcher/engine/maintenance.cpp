#include "maintenance.h"

#include "checksum.h"
#include "enginefolders.h"
#include "filekey.h"
#include "legacyinstallation.h"
#include "moverclient.h"
#include "ownedfiles.h"
#include "platform/platform.h"
#include "prompter.h"
#include "responsivewait.h"
#include "settings.h"
#include "stagedinstall.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

namespace {

QStringList relativePaths(const QStringList &keys)
{
    QStringList paths;
    paths.reserve(keys.size());
    for (const QString &key : keys)
        paths.append(fileKeyPath(key).toString());
    return paths;
}

QStringList withLeadingSlash(const QStringList &paths)
{
    QStringList keys;
    keys.reserve(paths.size());
    for (const QString &path : paths)
        keys.append(QLatin1Char('/') + path);
    return keys;
}

// Reads files whose record no longer vouches for them: off the GUI thread.
OwnedFiles ownedIn(const QString &folder, const InstallRecord &record, const QJsonObject &table)
{
    OwnedFiles owned;
    // Copies: the engine's table may be replaced while this runs, under the event loop.
    runWhileResponsive(
        [&owned, record, table, folder] { owned = ownedFiles(record, table, folder); });
    for (const QString &key : std::as_const(owned.changed))
        qInfo().noquote() << "Kept" << key
                          << "in the game folder: it changed since it was installed";
    return owned;
}

// Relative paths of the files below `folder`, but for the top-level `ignore`.
QStringList filesBelow(const QString &folder, const QStringList &ignore)
{
    QStringList files;
    const QDir root(folder);
    QDirIterator it(folder, QDir::Files | QDir::System | platform::everyFileFilter(),
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = root.relativeFilePath(it.next());
        if (!ignore.contains(relative) && !it.fileInfo().isSymLink())
            files.append(relative);
    }
    return files;
}

// The files just moved in, read for their CRC-32 off the GUI thread.
QList<VerifiedFile> readFiles(const QString &folder, const QStringList &relativePaths)
{
    QList<VerifiedFile> files;
    runWhileResponsive([&] {
        for (const QString &relative : relativePaths) {
            const QString path = folder + QLatin1Char('/') + relative;
            const std::optional<platform::FileStat> stat = platform::regularFileStat(path);
            const std::optional<quint32> crc = parseCrc32Hex(fileChecksum(path));
            if (stat && crc)
                files.append({QLatin1Char('/') + relative, *stat, *crc});
        }
    });
    return files;
}

// The marker is the launcher's whether or not the manifest lists it.
QStringList withMarker(QStringList entries)
{
    const QString marker = QStringLiteral(".initcomplete");
    if (!entries.contains(marker))
        entries.append(marker);
    return entries;
}

} // namespace

bool Maintenance::isGameRunning()
{
    return gameRunsFrom(Settings::installPath(),
                        platform::executableFileName(Settings::instance->executableName));
}

bool Maintenance::gameRunsFrom(const QString &folder, const QString &executable)
{
    // Image paths come resolved, and the install folder may be reached through a link.
    const QString resolved = QFileInfo(folder).canonicalFilePath();
    // Walk the whole list: a copy running from another folder must not hide
    // the one running from ours.
    const QList<platform::ProcessInfo> processes = platform::runningProcesses();
    for (const platform::ProcessInfo &process : processes) {
        if (process.imageName == executable &&
            (platform::isImageInFolder(process.imagePath, folder) ||
             platform::isImageInFolder(process.imagePath, resolved)))
            return true;
    }
    return false;
}

QStringList Maintenance::ownedEntries(const QString &folder, const QJsonObject &table)
{
    RecordKeeper records;
    return withMarker(relativePaths(ownedIn(folder, records.load(folder), table).keys));
}

int Maintenance::filesLeftIn(const QString &folder)
{
    int files = 0;
    QDirIterator it(folder, QDir::Files | QDir::System | platform::everyFileFilter(),
                    QDirIterator::Subdirectories);
    for (; it.hasNext(); it.next())
        ++files;
    return files;
}

Status Maintenance::removeListed(const QString &folder, const QString &listName,
                                 const QStringList &entries)
{
    const Result<QString> list = MoverClient::writeList(listName, entries);
    if (!list)
        return Status(list.failure());
    const QString listFile = list.value();
    const auto removeList = qScopeGuard([listFile] { QFile::remove(listFile); });
    return MoverClient::run(folder, QString(), {}, listFile);
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

Status Maintenance::installFiles(const QString &source, const QString &destination,
                                 const QStringList &ignore)
{
    // An empty destination would be the mover's delete mode, which only uninstall may start.
    Status moved = MoverClient::checkFolderPair(source, destination);
    if (moved)
        moved = asFileWork(false, [&] { return MoverClient::run(source, destination, ignore); });
    report(moved);
    return moved;
}

Maintenance::MoveIn Maintenance::moveStagedIn(const QSet<QString> keys, const QJsonObject table,
                                              const QString build)
{
    // Read here: the pool thread below must not touch the preferences.
    const QString folder = Settings::installPath();
    const QString executable = platform::executableFileName(Settings::instance->executableName);
    MoveIn outcome = MoveIn::Installed;
    // Inside the bracket, so nothing else starts while the staged files are looked at.
    const Status moved = asFileWork(false, [&]() -> Status {
        Result<StagedInstall::Plan> plan = Failure{};
        Result<QStringList> inTheWay = QStringList();
        QStringList movedKeys;
        // Thousands of staged files to walk and check: the window keeps painting meanwhile.
        runWhileResponsive([&] {
            plan = StagedInstall::prepare(keys, table, folder, executable);
            if (!plan || plan->entries.isEmpty())
                return;
            movedKeys = withLeadingSlash(plan->entries);
            // A new build may put a file where an older one had a folder, or the other way round.
            inTheWay = entriesInTheWay(movedKeys, records.load(folder), folder);
        });
        if (!plan) {
            outcome =
                plan.kind() == Failure::Kind::GameRunning ? MoveIn::GameRunning : MoveIn::Failed;
            return plan.failure();
        }
        if (plan->entries.isEmpty()) {
            outcome = MoveIn::NothingStaged;
            return {};
        }
        const QString list = plan->listFile;
        const auto removeList = qScopeGuard([list] { QFile::remove(list); });
        if (!inTheWay) {
            outcome = MoveIn::Failed;
            return inTheWay.failure();
        }
        if (!inTheWay->isEmpty()) {
            const Status cleared =
                removeListed(folder, QStringLiteral("replaced-files.txt"), *inTheWay);
            if (!cleared)
                return cleared;
            records.forget(folder, withLeadingSlash(*inTheWay));
        }
        const Status ran = MoverClient::run(EngineFolders::stagingDirectory(), folder, {}, list);
        if (ran)
            runWhileResponsive([&] { records.noteInstalled(folder, movedKeys, table, build); });
        return ran;
    });
    report(moved);
    if (!moved && outcome == MoveIn::Installed)
        outcome = MoveIn::Failed;
    return outcome;
}

void Maintenance::removeDropped(const QJsonObject &table, InstallRecord record)
{
    const QString folder = Settings::installPath();
    const OwnedFiles dropped = droppedFiles(record, table);
    for (const QString &key : dropped.changed)
        qInfo().noquote()
            << "Kept" << key
            << "which the new build no longer lists: it changed since it was installed";
    if (dropped.keys.isEmpty()) {
        records.forget(record, dropped.changed);
        return;
    }
    const Status removed = asFileWork(false, [&] {
        return removeListed(folder, QStringLiteral("dropped-files.txt"),
                            relativePaths(dropped.keys));
    });
    // What stays is tried again after the next update.
    if (!removed) {
        qWarning().noquote() << "Could not remove files the new build dropped:"
                             << removed.message();
        return;
    }
    records.forget(record, dropped.keys + dropped.changed);
}

Result<Maintenance::Relocation> Maintenance::relocate(const QString &destination,
                                                      const QJsonObject &table)
{
    const QString source = Settings::installPath();
    const Status pair = MoverClient::checkFolderPair(source, destination);
    if (!pair)
        return pair.failure();
    if (!QFileInfo(source).isDir())
        return Relocation(); // nothing installed there yet: nothing to move
    if (table.isEmpty())
        return Result<Relocation>::fail(
            Failure::Kind::Refused, QStringLiteral("The list of the game's files is not known yet. "
                                                   "Please check for updates first."));
    InstallRecord record = records.load(source);
    const OwnedFiles owned = ownedIn(source, record, table);
    const Result<QString> list = MoverClient::writeList(QStringLiteral("owned-files.txt"),
                                                        withMarker(relativePaths(owned.keys)));
    if (!list)
        return Result<Relocation>::fail(
            list.kind(), QStringLiteral("Could not prepare the list of the game's files."));
    const QString listFile = list.value();
    const auto removeList = qScopeGuard([listFile] { QFile::remove(listFile); });
    const Status moved =
        asFileWork(false, [&] { return MoverClient::run(source, destination, {}, listFile); });
    if (!moved)
        return moved.failure();
    // Without a record the files moved are those whose content matched the manifest.
    QHash<QString, quint32> contents;
    for (const QString &key : owned.keys) {
        const InstallRecord::File *file = record.find(key);
        const std::optional<quint32> listed =
            parseCrc32Hex(table.value(key).toObject().value(QLatin1String("checksum")).toString());
        if (file || listed)
            contents.insert(key, file ? file->crc : *listed);
    }
    records.carry(record.installFolder(), destination, contents, record.build());
    return Relocation{QFileInfo(source).isDir()};
}

bool Maintenance::confirmUninstall(Prompter *prompter)
{
    return prompter &&
           prompter->ask(QStringLiteral("Confirm Uninstall"),
                         QStringLiteral("Are you sure you want to uninstall? This will remove all "
                                        "game files."));
}

void Maintenance::tellWhatWasKept(const QString &folder, Prompter *prompter)
{
    if (!QFileInfo(folder).isDir() || !prompter)
        return;
    const int left = filesLeftIn(folder);
    prompter->tell(
        Prompter::Box::Information, QStringLiteral("Uninstall"),
        QStringLiteral("The game was removed. The folder %1 was kept because it "
                       "still holds %2 that the launcher did not install, or that "
                       "changed after it installed them.")
            .arg(QDir::toNativeSeparators(folder),
                 left == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(left)));
}

Status Maintenance::removeGame(const QString &folder, const QJsonObject &table)
{
    const QString someFilesKept =
        QStringLiteral("Some files could not be removed during uninstall");
    // Only what the game owns goes: the folder may hold the player's other files.
    const QString canonical = InstallRecordStore::canonicalFolder(folder);
    const Result<QString> list =
        MoverClient::writeList(QStringLiteral("owned-files.txt"), ownedEntries(folder, table));
    if (!list) {
        emit error(someFilesKept);
        return list.failure();
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
    if (removed)
        records.remove(canonical);
    return removed;
}

Status Maintenance::migrateLegacy()
{
    const QString legacy = LegacyInstallation::directory();
    const QString destination = Settings::installPath();
    bool unpacked = false;
    QStringList moving;
    const Status migrated = asFileWork(false, [&]() -> Status {
        const Status archive = LegacyInstallation::unpackArchive();
        if (!archive)
            return archive;
        unpacked = true;
        const Status pair = MoverClient::checkFolderPair(legacy, destination);
        if (!pair)
            return pair;
        // The old client's own settings stay with it.
        const QStringList ignore{QStringLiteral("config.otml"), QStringLiteral("data.bin")};
        moving = filesBelow(legacy, ignore);
        return MoverClient::run(legacy, destination, ignore);
    });
    if (migrated) {
        InstallRecord record = records.load(destination);
        records.note(record, destination, readFiles(destination, moving));
    }
    // An archive that cannot be unpacked has no message of its own: the window
    // says that the migration failed.
    if (unpacked)
        report(migrated);
    return migrated;
}
