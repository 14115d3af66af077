#include "executablebits.h"
#include "platform/platform.h"
#include "responsivewait.h"
#include "settings.h"
#include "updater.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
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

// Runs on a worker thread, so its waits hold up neither painting nor timers.
MoverEnd runPlainMover(const QString &exe, const QStringList &arguments)
{
    QProcess mover;
    mover.start(exe, arguments, QIODevice::ReadWrite);
    if (!mover.waitForStarted(moverStartLimitMs))
        return MoverEnd::NotStarted;
    if (!mover.waitForFinished(moverRunLimitMs)) {
        mover.kill();
        mover.waitForFinished();
        return MoverEnd::TimedOut;
    }
    if (mover.exitStatus() != QProcess::NormalExit || mover.exitCode() != 0)
        return MoverEnd::Failed;
    return MoverEnd::Succeeded;
}

} // namespace

void Updater::beginFileWork()
{
    movingFiles = true;
}

void Updater::endFileWork()
{
    movingFiles = false;
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

bool Updater::installFiles(const QString &source, const QString &destination,
                           const QStringList &ignore)
{
    // Only one mover at a time. A call that arrives while one runs (from a
    // timer or a signal handled during the wait) moves nothing and says so
    // with false, without a message of its own.
    if (movingFiles)
        return false;
    beginFileWork();
    const auto end = qScopeGuard([this] { endFileWork(); });
    return runFileMover(source, destination, ignore);
}

bool Updater::runFileMover(const QString &source, const QString &destination,
                           const QStringList &ignore)
{
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
    const QStringList arguments{QStringLiteral("--source"), QDir::toNativeSeparators(source),
                                QStringLiteral("--dest"),   QDir::toNativeSeparators(destination),
                                QStringLiteral("--ignore"), ignore.join(QLatin1Char(','))};

    if (needsElevation) {
        platform::ElevatedRun run;
        runWhileResponsive([&] { run = platform::runElevated(exe, arguments, moverRunLimitMs); });
        switch (run.outcome) {
        case platform::ElevatedRun::Outcome::Declined:
            emit downloadError(QStringLiteral("Failed to write to install directory.\n"
                                              "Please ensure you have write access to the "
                                              "install directory."));
            return false;
        case platform::ElevatedRun::Outcome::TimedOut:
            emit downloadError(QStringLiteral("Installation process timed out after 5 minutes"));
            return false;
        case platform::ElevatedRun::Outcome::NoProcess:
        case platform::ElevatedRun::Outcome::WaitFailed:
            return false;
        case platform::ElevatedRun::Outcome::Finished:
            if (run.exitCode != 0) {
                emit downloadError(QStringLiteral("Installation process failed"));
                return false;
            }
            return true;
        }
        return false;
    }

    MoverEnd end = MoverEnd::NotStarted;
    runWhileResponsive([&] { end = runPlainMover(exe, arguments); });
    switch (end) {
    case MoverEnd::NotStarted:
        emit downloadError(QStringLiteral("Failed to start installation process"));
        return false;
    case MoverEnd::TimedOut:
        emit downloadError(QStringLiteral("Installation process timed out after 5 minutes"));
        return false;
    case MoverEnd::Failed:
        emit downloadError(QStringLiteral("Installation process failed"));
        return false;
    case MoverEnd::Succeeded:
        break;
    }
    return true;
}

int Updater::installPendingFiles()
{
    // While a mover runs nothing more is moved: 1, as for any move that failed.
    if (movingFiles)
        return 1;
    const QString staging = stagingDirectory();
    if (!QDir(staging).exists())
        return 2;
    // Empty folders left behind by an earlier move do not count as staged files.
    QDirIterator it(staging, QDir::Files | QDir::NoDotAndDotDot | platform::everyFileFilter(),
                    QDirIterator::Subdirectories);
    if (!it.hasNext())
        return 2;
    grantExecuteBits(staging, platform::executableFileName(Settings::instance->executableName));
    return installFiles(staging, Settings::installPath(), {}) ? 0 : 1;
}
