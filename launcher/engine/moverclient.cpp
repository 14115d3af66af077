#include "moverclient.h"

#include "enginefolders.h"
#include "folderpair.h"
#include "platform/platform.h"
#include "responsivewait.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>

namespace {

constexpr int moverStartLimitMs = 30000;
constexpr int moverRunLimitMs = 300000;

const QString timedOutMessage = QStringLiteral("Installation process timed out after 5 minutes");
const QString failedMessage = QStringLiteral("Installation process failed");

// Runs on a worker thread, so its waits hold up neither painting nor timers.
Status runPlainMover(const QString &exe, const QStringList &arguments)
{
    QProcess mover;
    mover.start(exe, arguments, QIODevice::ReadWrite);
    if (!mover.waitForStarted(moverStartLimitMs))
        return Status::fail(Failure::Kind::Internal,
                            QStringLiteral("Failed to start installation process"));
    if (!mover.waitForFinished(moverRunLimitMs)) {
        mover.kill();
        mover.waitForFinished();
        return Status::fail(Failure::Kind::Internal, timedOutMessage);
    }
    if (mover.exitStatus() != QProcess::NormalExit || mover.exitCode() != 0)
        return Status::fail(Failure::Kind::Internal, failedMessage);
    return {};
}

// Only Windows protects install folders so that the mover must be elevated;
// elsewhere it runs as a plain child process.
bool needsElevation(const QString &destination)
{
    if (platform::hostOs() != platform::Os::Windows)
        return false;
    if (!QFileInfo::exists(destination))
        return !QDir().mkpath(destination);
    QFile probe(destination + QStringLiteral("/.write_test"));
    if (!probe.open(QIODevice::WriteOnly))
        return true;
    probe.close();
    probe.remove();
    return false;
}

QString ownExecutable()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
}

} // namespace

QString MoverClient::overlappingFoldersMessage()
{
    return QStringLiteral("The game folder cannot be moved into itself, into a folder inside "
                          "it, or into a folder that contains it.");
}

QString MoverClient::relativeFolderMessage()
{
    return QStringLiteral("The game folder must be a full path.");
}

Status MoverClient::checkFolderPair(const QString &source, const QString &destination)
{
    if (!isFullPath(source) || !isFullPath(destination))
        return Status::fail(Failure::Kind::Refused, relativeFolderMessage());
    if (foldersOverlap(source, destination))
        return Status::fail(Failure::Kind::Refused, overlappingFoldersMessage());
    return {};
}

bool MoverClient::isFullPath(const QString &path)
{
    return !path.isEmpty() && !QDir::isRelativePath(QDir::fromNativeSeparators(path));
}

Result<QString> MoverClient::writeList(const QString &name, const QStringList &entries)
{
    // The mover trusts the list, so it lives where no other user can write.
    const Status folders = EngineFolders::preparePrivate();
    if (!folders)
        return folders.failure();
    const QString path = EngineFolders::privateDirectory() + QLatin1Char('/') + name;
    if (!writeEntryList(path, entries))
        return Result<QString>::fail(Failure::Kind::FileSystem,
                                     QStringLiteral("Could not write %1").arg(path));
    return path;
}

void MoverClient::waitForEarlierMover()
{
    QLockFile lock(EngineFolders::privateDirectory() + QStringLiteral("/mover.lock"));
    lock.setStaleLockTime(0);
    if (!lock.tryLock(0) && lock.error() == QLockFile::LockFailedError)
        runWhileResponsive([&lock] { lock.tryLock(moverRunLimitMs); });
    lock.unlock();
}

Status MoverClient::run(const QString &source, const QString &destination,
                        const QStringList &ignore, const QString &listFile)
{
    waitForEarlierMover();
    QStringList arguments{QStringLiteral("--source"), QDir::toNativeSeparators(source),
                          QStringLiteral("--dest"),   QDir::toNativeSeparators(destination),
                          QStringLiteral("--ignore"), ignore.join(QLatin1Char(','))};
    if (!listFile.isEmpty())
        arguments << QStringLiteral("--list") << QDir::toNativeSeparators(listFile);

    if (!needsElevation(destination)) {
        Status end;
        runWhileResponsive([&] { end = runPlainMover(ownExecutable(), arguments); });
        return end;
    }

    platform::ElevatedRun run;
    runWhileResponsive(
        [&] { run = platform::runElevated(ownExecutable(), arguments, moverRunLimitMs); });
    switch (run.outcome) {
    case platform::ElevatedRun::Outcome::Declined:
        return Status::fail(Failure::Kind::Declined,
                            QStringLiteral("Failed to write to install directory.\n"
                                           "Please ensure you have write access to the "
                                           "install directory."));
    case platform::ElevatedRun::Outcome::TimedOut:
        return Status::fail(Failure::Kind::Internal, timedOutMessage);
    case platform::ElevatedRun::Outcome::NoProcess:
    case platform::ElevatedRun::Outcome::WaitFailed:
        // Nothing tells whether the files moved: a failure, and the player hears of it.
        return Status::fail(Failure::Kind::Internal, failedMessage);
    case platform::ElevatedRun::Outcome::Finished:
        break;
    }
    if (run.exitCode != 0)
        return Status::fail(Failure::Kind::Internal, failedMessage);
    return {};
}

Status MoverClient::removeElevated(const QString &folder, const QString &listFile)
{
    platform::ElevatedRun run;
    runWhileResponsive([&] {
        run = platform::runElevated(ownExecutable(),
                                    {QStringLiteral("--source"), QDir::toNativeSeparators(folder),
                                     QStringLiteral("--dest"), QString(),
                                     QStringLiteral("--ignore"), QString(),
                                     QStringLiteral("--list"), QDir::toNativeSeparators(listFile)},
                                    platform::NoTimeLimit);
    });
    if (run.outcome == platform::ElevatedRun::Outcome::Declined)
        return Status::fail(
            Failure::Kind::Declined,
            QStringLiteral("Failed to uninstall - could not get necessary permissions"));
    // Without a process or an exit code to look at, the mover is taken at its word.
    if (run.outcome == platform::ElevatedRun::Outcome::Finished && run.exitCode != 0)
        return Status::fail(Failure::Kind::Internal,
                            QStringLiteral("Some files could not be removed during uninstall"));
    return {};
}
