#include "platform/platform.h"
#include "settings.h"
#include "updater.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace {

constexpr int moverStartLimitMs = 30000;
constexpr int moverRunLimitMs = 300000;

} // namespace

bool Updater::installFiles(const QString &source, const QString &destination,
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
        const platform::ElevatedRun run = platform::runElevated(exe, arguments, moverRunLimitMs);
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

    QProcess mover;
    mover.start(exe, arguments, QIODevice::ReadWrite);
    if (!mover.waitForStarted(moverStartLimitMs)) {
        emit downloadError(QStringLiteral("Failed to start installation process"));
        return false;
    }
    if (!mover.waitForFinished(moverRunLimitMs)) {
        mover.kill();
        mover.waitForFinished();
        emit downloadError(QStringLiteral("Installation process timed out after 5 minutes"));
        return false;
    }
    if (mover.exitStatus() != QProcess::NormalExit || mover.exitCode() != 0) {
        emit downloadError(QStringLiteral("Installation process failed"));
        return false;
    }
    return true;
}

int Updater::installPendingFiles()
{
    const QString staging = stagingDirectory();
    if (!QDir(staging).exists())
        return 2;
    // Empty folders left behind by an earlier move do not count as staged files.
    QDirIterator it(staging, QDir::Files | QDir::NoDotAndDotDot | platform::everyFileFilter(),
                    QDirIterator::Subdirectories);
    if (!it.hasNext())
        return 2;
    return installFiles(staging, Settings::installPath(), {}) ? 0 : 1;
}
