#include "launcherupdater.h"
#include "platform/platform.h"
#include "updaterwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDebug>
#include <QFileInfo>
#include <QMetaObject>
#include <QProcess>

namespace {

// Started as the player, from its own folder, as a shortcut would start it.
void startLauncher(const QString &path)
{
    if (!QProcess::startDetached(path, {}, QFileInfo(path).absolutePath()))
        qWarning().noquote() << "Cannot start the launcher again:" << path;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    platform::applyBuildVersion();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Launcher Updater"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption pathOption(QStringList{QStringLiteral("p"), QStringLiteral("path")},
                                        QStringLiteral("Path to the launcher executable"),
                                        QStringLiteral("path"), QString());
    const QCommandLineOption urlOption(QStringList{QStringLiteral("u"), QStringLiteral("url")},
                                       QStringLiteral("URL to download the update from"),
                                       QStringLiteral("url"), QString());
    const QCommandLineOption elevatedOption(
        QStringList{QStringLiteral("e"), QStringLiteral("elevated")},
        QStringLiteral("Indicates the updater is running in elevated mode"));
    parser.addOption(pathOption);
    parser.addOption(urlOption);
    parser.addOption(elevatedOption);
    parser.process(app);

    if (!parser.isSet(pathOption)) {
        qDebug() << "Launcher path must be specified!";
        return 1;
    }
    if (!parser.isSet(urlOption)) {
        qDebug() << "Update URL must be specified!";
        return 1;
    }

    const QString launcherPath = parser.value(pathOption);
    const bool elevated = parser.isSet(elevatedOption);
    UpdaterWindow window;
    LauncherUpdater updater;
    QObject::connect(&updater, &LauncherUpdater::downloadProgress, &window,
                     &UpdaterWindow::setProgress);
    QObject::connect(&updater, &LauncherUpdater::error, &window, &UpdaterWindow::setError);
    QObject::connect(&updater, &LauncherUpdater::status, &window, &UpdaterWindow::setStatus);
    // A failure stays on screen until the player closes the window. So does the
    // end of an elevated run: the launcher it would start would run as administrator.
    QObject::connect(&updater, &LauncherUpdater::finished, &app, [&] {
        if (updater.hasFailed())
            return;
        if (elevated) {
            window.setStatus(QStringLiteral("Update completed successfully!\n"
                                            "You can start the launcher again."));
            return;
        }
        startLauncher(launcherPath);
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    window.show();

    if (!updater.startUpdate(launcherPath, parser.value(urlOption), elevated))
        return 0;
    const int code = app.exec();
    updater.abandon();
    if (!updater.hasFailed())
        return code;
    // The previous launcher is whole again: the player is not left without one.
    if (!elevated && updater.tookOver())
        startLauncher(launcherPath);
    return 1;
}
