#include "launcherupdater.h"
#include "platform/platform.h"
#include "updaterwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDebug>

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

    UpdaterWindow window;
    LauncherUpdater updater;
    QObject::connect(&updater, &LauncherUpdater::downloadProgress, &window,
                     &UpdaterWindow::setProgress);
    QObject::connect(&updater, &LauncherUpdater::error, &window, &UpdaterWindow::setError);
    QObject::connect(&updater, &LauncherUpdater::status, &window, &UpdaterWindow::setStatus);
    QObject::connect(&updater, &LauncherUpdater::finished, &app, &QCoreApplication::quit);
    window.show();

    if (!updater.startUpdate(parser.value(pathOption), parser.value(urlOption),
                             parser.isSet(elevatedOption)))
        return 0;
    return app.exec();
}
