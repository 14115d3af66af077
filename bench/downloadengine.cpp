#include "downloadengine.h"

#include "settings.h"
#include "testenvironment.h"
#include "updater.h"

#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <ctime>

double monotonicSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

EngineInstall runEngineInstall(const QString &updateUrl, const QString &gameDir,
                               const QString &moverStampPath)
{
    EngineInstall result;
    TestEnvironment environment; // keeps the player's preferences untouched
    // A run that continues a killed one must find its staging folder again.
    const QByteArray home = qgetenv("DOWNLOADBENCH_HOME");
    if (!home.isEmpty())
        qputenv("HOME", home);
    Settings settings;
    Settings::instance = &settings;
    settings.updateUrl = updateUrl;
    settings.manifestFile = QStringLiteral("checksums.txt.gz");
    settings.setInstallPath(gameDir);
    QFile::remove(moverStampPath);

    {
        Updater updater;
        QEventLoop loop;
        const double start = monotonicSeconds();
        double verificationStart = 0;
        double downloadStart = 0;
        const auto fail = [&](const QString &message) {
            if (result.error.isEmpty())
                result.error = message;
            loop.quit();
        };

        // The game folder is empty: every file the manifest lists is fetched.
        QObject::connect(&updater, &Updater::verificationStarted, &loop, [&](int total) {
            verificationStart = monotonicSeconds();
            result.files = total;
        });
        QObject::connect(&updater, &Updater::overallProgress, &loop,
                         [&](qlonglong, qlonglong total) { result.bytes = total; });
        QObject::connect(&updater, &Updater::updateAvailable, &loop, [&](const QString &) {
            downloadStart = monotonicSeconds();
            // The window answers the button press on the next turn of the loop.
            QTimer::singleShot(0, &updater, &Updater::startUpdate);
        });
        QObject::connect(&updater, &Updater::noUpdateAvailable, &loop,
                         [&] { fail(QStringLiteral("the engine found nothing to install")); });
        QObject::connect(&updater, &Updater::downloadError, &loop, [&](const QString &message) {
            fail(QStringLiteral("the engine reported: ") + message);
        });
        QObject::connect(&updater, &Updater::updateComplete, &loop, [&] {
            const double end = monotonicSeconds();
            QFile stamp(moverStampPath);
            double moverStart = 0;
            if (stamp.open(QIODevice::ReadOnly))
                moverStart = stamp.readAll().trimmed().toDouble();
            if (moverStart <= downloadStart) {
                fail(QStringLiteral("the file mover left no start time in ") + moverStampPath);
                return;
            }
            result.check = verificationStart - start;
            result.verify = downloadStart - verificationStart;
            result.download = moverStart - downloadStart;
            result.install = end - moverStart;
            result.total = end - start;
            loop.quit();
        });

        // What the window's clip and ring would feel: a timer on the GUI thread,
        // and how late its ticks came.
        constexpr int tickMs = 5;
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        double lastTick = monotonicSeconds();
        QObject::connect(&ticker, &QTimer::timeout, &loop, [&] {
            const double now = monotonicSeconds();
            result.guiMaxStallMs = qMax(result.guiMaxStallMs, (now - lastTick) * 1000 - tickMs);
            lastTick = now;
        });
        ticker.start(tickMs);

        updater.checkForUpdates();
        loop.exec();
    }
    Settings::instance = nullptr;
    return result;
}
