#include "engineverify.h"

#include "settings.h"
#include "testenvironment.h"
#include "testhttpserver.h"
#include "updater.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>

// The engine is started as the launcher starts it: the update check fetches the
// manifest over HTTP, and verification begins once it is parsed. Only the
// verification itself is timed, from verificationStarted to its closing signal.
EngineTimes timeEngineVerification(const QString &gameDir, const QString &manifestDir, int runs)
{
    EngineTimes times;
    TestEnvironment environment; // keeps the player's preferences untouched
    TestHttpServer server(manifestDir);
    if (!server.start()) {
        times.error = QStringLiteral("no port for the manifest server");
        return times;
    }
    Settings settings;
    Settings::instance = &settings;
    settings.updateUrl = server.baseUrl();
    settings.manifestFile = QStringLiteral("checksums.txt.gz");
    settings.setInstallPath(gameDir);

    {
        Updater updater;
        QEventLoop loop;
        QElapsedTimer clock;
        int filesChecked = 0;
        QObject::connect(&updater, &Updater::verificationStarted, &loop, [&](int total) {
            times.files = total;
            filesChecked = 0;
            clock.start();
        });
        QObject::connect(&updater, &Updater::verificationProgress, &loop,
                         [&](int checked, int) { filesChecked = qMax(filesChecked, checked); });
        QObject::connect(&updater, &Updater::noUpdateAvailable, &loop, [&] {
            times.seconds.append(clock.nsecsElapsed() / 1e9);
            loop.quit();
        });
        QObject::connect(&updater, &Updater::updateAvailable, &loop, [&](const QString &) {
            times.error = QStringLiteral("the engine found bad files; the data set is broken");
            loop.quit();
        });
        QObject::connect(&updater, &Updater::downloadError, &loop, [&](const QString &message) {
            times.error = QStringLiteral("the engine reported: ") + message;
            loop.quit();
        });

        for (int run = 0; run < runs && times.error.isEmpty(); ++run) {
            if (run == 0)
                updater.checkForUpdates();
            else
                updater.verifyInstallation();
            loop.exec();
            if (times.error.isEmpty() && filesChecked != times.files)
                times.error = QStringLiteral("progress reached %1 of %2 files")
                                  .arg(filesChecked)
                                  .arg(times.files);
        }
    }
    Settings::instance = nullptr;
    return times;
}
