#include "engineverify.h"

#include "settings.h"
#include "testenvironment.h"
#include "testhttpserver.h"
#include "updater.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

// An engine pointed at `gameDir` and at a server of `manifestDir`, whose
// verdict `time` times; a verdict that finds files to fetch is an error.
EngineTimes withEngine(const QString &gameDir, const QString &manifestDir,
                       const std::function<void(Updater &, QEventLoop &, EngineTimes &)> &time)
{
    EngineTimes times;
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
        QObject::connect(&updater, &Updater::updateAvailable, &loop, [&](const QString &) {
            times.error = QStringLiteral("the engine found bad files; the data set is broken");
            loop.quit();
        });
        QObject::connect(&updater, &Updater::downloadError, &loop, [&](const QString &message) {
            times.error = QStringLiteral("the engine reported: ") + message;
            loop.quit();
        });
        time(updater, loop, times);
    }
    Settings::instance = nullptr;
    return times;
}

} // namespace

EngineTimes timeEngineCheck(const QString &gameDir, const QString &manifestDir, CheckKind kind)
{
    return withEngine(gameDir, manifestDir,
                      [kind](Updater &updater, QEventLoop &loop, EngineTimes &times) {
                          QElapsedTimer clock;
                          // The engine reads the reply after the manager has announced it.
                          QObject::connect(&updater.network(), &QNetworkAccessManager::finished,
                                           &loop, [&clock](QNetworkReply *) { clock.start(); });
                          QObject::connect(&updater, &Updater::verificationStarted, &loop,
                                           [&times](int total) { times.files = total; });
                          QObject::connect(&updater, &Updater::noUpdateAvailable, &loop, [&] {
                              times.seconds.append(clock.nsecsElapsed() / 1e9);
                              loop.quit();
                          });
                          if (kind == CheckKind::Full)
                              updater.checkAllFiles();
                          else
                              updater.checkForUpdates();
                          loop.exec();
                      });
}

// The engine is started as the launcher starts it: the update check fetches the
// manifest over HTTP, and verification begins once it is parsed. Only the
// verification itself is timed, from verificationStarted to its closing signal.
EngineTimes timeEngineVerification(const QString &gameDir, const QString &manifestDir, int runs)
{
    TestEnvironment environment; // keeps the player's preferences untouched
    return withEngine(
        gameDir, manifestDir, [runs](Updater &updater, QEventLoop &loop, EngineTimes &times) {
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
            for (int run = 0; run < runs && times.error.isEmpty(); ++run) {
                // Every run reads every file: the benchmark compares reading speeds.
                updater.checkAllFiles();
                loop.exec();
                if (times.error.isEmpty() && filesChecked != times.files)
                    times.error = QStringLiteral("progress reached %1 of %2 files")
                                      .arg(filesChecked)
                                      .arg(times.files);
            }
        });
}
