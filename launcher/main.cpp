#include "filemover.h"
#include "mainwindow.h"
#include "platform/platform.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>

#include <memory>

int main(int argc, char **argv)
{
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::RoundPreferFloor);
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
    QCoreApplication::setAttribute(Qt::AA_DisableHighDpiScaling, true);
QT_WARNING_POP

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Ashgrove Launcher"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption sourceOption(QStringLiteral("source"),
                                          QStringLiteral("Source directory containing files to move"),
                                          QStringLiteral("source"), QString());
    const QCommandLineOption destOption(QStringLiteral("dest"),
                                        QStringLiteral("Destination directory for files"),
                                        QStringLiteral("dest"), QString());
    const QCommandLineOption ignoreOption(QStringLiteral("ignore"), QStringLiteral("Files to ignore"),
                                          QStringLiteral("ignore"), QString());
    parser.addOption(sourceOption);
    parser.addOption(destOption);
    parser.addOption(ignoreOption);

    // The mover runs elevated, where no display may be reachable (pkexec drops it),
    // so decide the mode before choosing the kind of application object.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const bool fileMover =
        parser.parse(arguments) && parser.isSet(sourceOption) && parser.isSet(destOption);

    std::unique_ptr<QCoreApplication> app;
    if (fileMover)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    platform::applyBuildVersion();
    parser.process(*app);

    if (fileMover) {
        const bool ok = moveFiles(parser.value(sourceOption), parser.value(destOption),
                                  parser.value(ignoreOption));
        return ok ? 0 : 1;
    }

    QLoggingCategory::setFilterRules(QStringLiteral("qt.multimedia.ffmpeg.*=false"));
    MainWindow window;
    window.show();
    return app->exec();
}
