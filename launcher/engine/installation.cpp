#include "executablebits.h"
#include "filekey.h"
#include "folderpair.h"
#include "platform/platform.h"
#include "responsivewait.h"
#include "settings.h"
#include "updater.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMetaObject>
#include <QProcess>
#include <QScopeGuard>

#include <utility>

namespace {

constexpr int moverStartLimitMs = 30000;
constexpr int moverRunLimitMs = 300000;

enum class MoverEnd
{
    NotStarted,
    TimedOut,
    Failed,
    Succeeded
};

struct PlainMoverRun
{
    MoverEnd end = MoverEnd::NotStarted;
    QString reason; // the mover's last line on stderr: why it failed
};

// Runs on a worker thread, so its waits hold up neither painting nor timers.
PlainMoverRun runPlainMover(const QString &exe, const QStringList &arguments)
{
    QProcess mover;
    mover.start(exe, arguments, QIODevice::ReadWrite);
    if (!mover.waitForStarted(moverStartLimitMs))
        return {MoverEnd::NotStarted, {}};
    if (!mover.waitForFinished(moverRunLimitMs)) {
        mover.kill();
        mover.waitForFinished();
        return {MoverEnd::TimedOut, {}};
    }
    if (mover.exitStatus() != QProcess::NormalExit || mover.exitCode() != 0) {
        const QStringList lines = QString::fromLocal8Bit(mover.readAllStandardError())
                                      .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return {MoverEnd::Failed, lines.isEmpty() ? QString() : lines.last().trimmed()};
    }
    return {MoverEnd::Succeeded, {}};
}

} // namespace

void Updater::beginFileWork(State work)
{
    // A verification must not read a folder while it changes: it runs again afterwards.
    if (engineState == State::Verifying) {
        stopVerification();
        verifyAgain = true;
    }
    setState(work);
}

void Updater::endFileWork()
{
    if (currentManifest) {
        setState(State::Checking); // its reply is read below or when it arrives
    } else if (std::exchange(verifyAgain, false)) {
        setState(State::Idle);
        verifyInstallation();
    } else {
        setState(State::Idle);
    }
    // Manifests that arrived during the move are read now, after the caller
    // has reported its own outcome, as they would be behind a blocked thread.
    const QList<QPointer<QNetworkReply>> replies = std::exchange(deferredReplies, {});
    for (const QPointer<QNetworkReply> &reply : replies) {
        QMetaObject::invokeMethod(
            this,
            [this, reply] {
                if (reply)
                    handleNetworkReply(reply);
            },
            Qt::QueuedConnection);
    }
}

QString Updater::overlappingFoldersMessage()
{
    return QStringLiteral("The game folder cannot be moved into itself, into a folder inside "
                          "it, or into a folder that contains it.");
}

QString Updater::relativeFolderMessage()
{
    return QStringLiteral("The game folder must be a full path.");
}

QString Updater::checkFolderPair(const QString &source, const QString &destination)
{
    if (!isFullPath(source) || !isFullPath(destination))
        return relativeFolderMessage();
    if (foldersOverlap(source, destination))
        return overlappingFoldersMessage();
    return {};
}

bool Updater::isFullPath(const QString &path)
{
    return !path.isEmpty() && !QDir::isRelativePath(QDir::fromNativeSeparators(path));
}

bool Updater::installFiles(const QString &source, const QString &destination,
                           const QStringList &ignore)
{
    // Only one mover at a time. A call that arrives while one runs (from a
    // timer or a signal handled during the wait) moves nothing and says so
    // with false, without a message of its own. So does one during a run.
    if (!fileWorkAllowed())
        return false;
    // An empty destination would be the mover's delete mode, which only uninstall may start.
    const QString refusal = checkFolderPair(source, destination);
    if (!refusal.isEmpty()) {
        emit downloadError(refusal);
        return false;
    }
    beginFileWork();
    const auto end = qScopeGuard([this] { endFileWork(); });
    return runFileMover(source, destination, ignore);
}

Updater::MoveResult Updater::relocateInstallation(const QString &destination)
{
    MoveResult result;
    if (engineState != State::Idle) {
        result.error = QStringLiteral("Please wait until the current check, update or file "
                                      "operation has finished.");
        return result;
    }
    const QString source = Settings::installPath();
    result.error = checkFolderPair(source, destination);
    if (!result.error.isEmpty())
        return result;
    if (!QFileInfo(source).isDir()) {
        result.ok = true; // nothing installed there yet: nothing to move
        result.error.clear();
        return result;
    }
    if (manifestFiles.isEmpty()) {
        result.error = QStringLiteral("The list of the game's files is not known yet. Please "
                                      "check for updates first.");
        return result;
    }
    const QString list = writeOwnedList();
    if (list.isEmpty()) {
        result.error = QStringLiteral("Could not prepare the list of the game's files.");
        return result;
    }
    const auto removeList = qScopeGuard([list] { QFile::remove(list); });

    beginFileWork();
    const auto end = qScopeGuard([this] { endFileWork(); });
    const MoverRun run = runMover(source, destination, {}, list);
    result.ok = run.ok;
    result.error = run.ok                ? QString()
                   : run.error.isEmpty() ? QStringLiteral("Installation process failed")
                                         : run.error;
    result.leftOtherFiles = QFileInfo(source).isDir();
    return result;
}

QStringList Updater::ownedEntries() const
{
    QStringList entries;
    for (auto it = manifestFiles.constBegin(); it != manifestFiles.constEnd(); ++it) {
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

QString Updater::writeOwnedList()
{
    return writeList(QStringLiteral("owned-files.txt"), ownedEntries());
}

QString Updater::writeList(const QString &name, const QStringList &entries)
{
    // The mover trusts the list, so it lives where no other user can write.
    if (!preparePrivateFolders().ok)
        return {};
    const QString path = privateDirectory() + QLatin1Char('/') + name;
    return writeEntryList(path, entries) ? path : QString();
}

bool Updater::runFileMover(const QString &source, const QString &destination,
                           const QStringList &ignore, const QString &listFile)
{
    const MoverRun run = runMover(source, destination, ignore, listFile);
    if (!run.error.isEmpty())
        emit downloadError(run.error);
    return run.ok;
}

void Updater::waitForEarlierMover()
{
    // A mover started by a launcher that was killed meanwhile may still be at work.
    QLockFile lock(privateDirectory() + QStringLiteral("/mover.lock"));
    lock.setStaleLockTime(0);
    if (!lock.tryLock(0) && lock.error() == QLockFile::LockFailedError)
        runWhileResponsive([&lock] { lock.tryLock(moverRunLimitMs); });
    lock.unlock();
}

Updater::MoverRun Updater::runMover(const QString &source, const QString &destination,
                                    const QStringList &ignore, const QString &listFile)
{
    waitForEarlierMover();
    // Only Windows protects install folders so that the mover must be elevated;
    // elsewhere it runs as a plain child process.
    bool needsElevation = false;
    if (platform::hostOs() == platform::Os::Windows) {
        if (QFileInfo::exists(destination)) {
            QFile probe(destination + QStringLiteral("/.write_test"));
            if (probe.open(QIODevice::WriteOnly)) {
                probe.close();
                probe.remove();
            } else {
                needsElevation = true;
            }
        } else {
            needsElevation = !QDir().mkpath(destination);
        }
    }

    const QString exe = QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
    QStringList arguments{QStringLiteral("--source"), QDir::toNativeSeparators(source),
                          QStringLiteral("--dest"),   QDir::toNativeSeparators(destination),
                          QStringLiteral("--ignore"), ignore.join(QLatin1Char(','))};
    if (!listFile.isEmpty())
        arguments << QStringLiteral("--list") << QDir::toNativeSeparators(listFile);

    MoverRun result;
    if (needsElevation) {
        platform::ElevatedRun run;
        runWhileResponsive([&] { run = platform::runElevated(exe, arguments, moverRunLimitMs); });
        switch (run.outcome) {
        case platform::ElevatedRun::Outcome::Declined:
            result.error = QStringLiteral("Failed to write to install directory.\n"
                                          "Please ensure you have write access to the "
                                          "install directory.");
            break;
        case platform::ElevatedRun::Outcome::TimedOut:
            result.error = QStringLiteral("Installation process timed out after 5 minutes");
            break;
        case platform::ElevatedRun::Outcome::NoProcess:
        case platform::ElevatedRun::Outcome::WaitFailed:
            break;
        case platform::ElevatedRun::Outcome::Finished:
            result.ok = run.exitCode == 0;
            if (!result.ok)
                result.error = QStringLiteral("Installation process failed");
            break;
        }
        return result;
    }

    PlainMoverRun run;
    runWhileResponsive([&] { run = runPlainMover(exe, arguments); });
    switch (run.end) {
    case MoverEnd::NotStarted:
        result.error = QStringLiteral("Failed to start installation process");
        break;
    case MoverEnd::TimedOut:
        result.error = QStringLiteral("Installation process timed out after 5 minutes");
        break;
    case MoverEnd::Failed:
        // The mover says why (no room, a link in the way); staged files stay for a retry.
        result.error = QStringLiteral("Installation process failed");
        if (!run.reason.isEmpty())
            result.error += QLatin1Char('\n') + run.reason;
        break;
    case MoverEnd::Succeeded:
        result.ok = true;
        break;
    }
    return result;
}

int Updater::installPendingFiles()
{
    // While a mover or a run is at work nothing more is moved: 1, as for any move that failed.
    if (!fileWorkAllowed())
        return 1;
    switch (moveCheckedFilesIn(stagedValid)) {
    case MoveIn::Installed:
        return 0;
    case MoveIn::NothingStaged:
        return 2;
    case MoveIn::GameRunning:
    case MoveIn::Failed:
        break;
    }
    return 1;
}

Updater::MoveIn Updater::moveCheckedFilesIn(const QSet<QString> &keys)
{
    const QString staging = stagingDirectory();
    if (!preparePrivateFolders().ok) {
        emit downloadError(QStringLiteral("The download folder cannot be used safely."));
        return MoveIn::Failed;
    }
    pruneStaging();

    // Only files checked against the current manifest go in; anything else
    // staged (a partial file, a leftover of a killed run) waits or is gone.
    QStringList entries;
    for (const QString &key : keys) {
        if (!manifestFiles.contains(key) || !isSafeFileKey(key))
            continue;
        const QString relative = key.startsWith(QLatin1Char('/')) ? key.mid(1) : key;
        const QFileInfo staged(staging + QLatin1Char('/') + relative);
        if (!relative.isEmpty() && staged.isFile() && !staged.isSymLink())
            entries.append(relative);
    }
    if (entries.isEmpty())
        return MoveIn::NothingStaged;

    // The game may have been started while the files were downloading.
    if (isGameRunning()) {
        emit downloadError(gameStartedMessage());
        return MoveIn::GameRunning;
    }
    const QString destination = Settings::installPath();
    const QString refusal = checkFolderPair(staging, destination);
    if (!refusal.isEmpty()) {
        emit downloadError(refusal);
        return MoveIn::Failed;
    }
    const QString list = writeList(QStringLiteral("staged-files.txt"), entries);
    if (list.isEmpty()) {
        emit downloadError(QStringLiteral("The download folder cannot be used safely."));
        return MoveIn::Failed;
    }
    const auto removeList = qScopeGuard([list] { QFile::remove(list); });

    grantExecuteBits(staging, platform::executableFileName(Settings::instance->executableName));
    bool ok = false;
    {
        beginFileWork();
        const auto end = qScopeGuard([this] { endFileWork(); });
        ok = runFileMover(staging, destination, {}, list);
    }
    if (!ok)
        return MoveIn::Failed;
    for (const QString &key : keys) {
        checkedKeys.remove(key);
        stagedValid.remove(key);
    }
    return MoveIn::Installed;
}

void Updater::pruneStaging()
{
    // Without a manifest nothing tells what is ours to keep.
    if (manifestFiles.isEmpty())
        return;
    QSet<QString> owned;
    for (auto it = manifestFiles.constBegin(); it != manifestFiles.constEnd(); ++it)
        owned.insert(it.key().startsWith(QLatin1Char('/')) ? it.key().mid(1) : it.key());

    const QString staging = stagingDirectory();
    const QDir root(staging);
    QStringList folders;
    QDirIterator it(staging,
                    QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot | platform::everyFileFilter(),
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isDir() && !info.isSymLink()) {
            folders.prepend(path);
            continue;
        }
        // Partial files of current keys stay for resuming; links and strays go.
        if (info.isSymLink() || !owned.contains(root.relativeFilePath(path)))
            QFile::remove(path);
    }
    for (const QString &folder : std::as_const(folders))
        QDir().rmdir(folder);
}
