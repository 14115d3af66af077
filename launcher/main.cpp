#include "filemover.h"
#include "mainwindow.h"
#include "platform/platform.h"
#include "releaseswap.h"
#include "settings.h"
#include "singleinstance.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdio>
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
    const QCommandLineOption listOption(QStringLiteral("list"),
                                        QStringLiteral("File naming the only entries to move"),
                                        QStringLiteral("list"), QString());
    parser.addOption(sourceOption);
    parser.addOption(destOption);
    parser.addOption(ignoreOption);
    parser.addOption(listOption);

    // The mover runs elevated, where no display may be reachable (pkexec drops it),
    // so decide the mode before choosing the kind of application object.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const bool parsed = parser.parse(arguments);
    const bool fileMover = parsed && parser.isSet(sourceOption) && parser.isSet(destOption);
    // Any mover option without both folders is a mover command gone wrong, not a window.
    bool moverOption = false;
    for (const QCommandLineOption *option :
         {&sourceOption, &destOption, &ignoreOption, &listOption})
        moverOption = moverOption || (parsed && parser.isSet(*option));
    // Help, version and a malformed command line only print and exit: no display either.
    const bool textOnly = !parsed || moverOption || parser.isSet(QStringLiteral("help")) ||
                          parser.isSet(QStringLiteral("version"));

    std::unique_ptr<QCoreApplication> app;
    if (fileMover || textOnly)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    platform::applyBuildVersion();
    parser.process(*app);

    if (moverOption && !fileMover) {
        std::fputs("launcher: moving or deleting files needs both --source and --dest\n", stderr);
        return 1;
    }
    if (fileMover) {
        const Status moved = moveFiles(parser.value(sourceOption), parser.value(destOption),
                                       parser.value(ignoreOption), parser.value(listOption));
        if (moved.ok())
            return 0;
        // The caller shows this line to the player.
        std::fprintf(stderr, "%s\n", moved.message().toLocal8Bit().constData());
        return 1;
    }

    // One window per user and product: a second start brings the first to the front.
    QString product;
    {
        const Settings profile;
        product = profile.companyName + QLatin1Char('-') + profile.applicationName;
    }
    SingleInstance instance(SingleInstance::defaultFolder(), product);
    if (!instance.claim())
        return 0;

    // A launcher update killed half way is finished (or undone) before anything runs.
    const Status recovered =
        ReleaseSwap::recoverIfInterrupted(QCoreApplication::applicationDirPath());
    if (!recovered.ok())
        qWarning().noquote() << "An interrupted launcher update is left:" << recovered.message();

    QLoggingCategory::setFilterRules(QStringLiteral("qt.multimedia.ffmpeg.*=false"));
    MainWindow window;
    QObject::connect(&instance, &SingleInstance::raiseRequested, &window, [&window] {
        window.setWindowState((window.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        window.show();
        window.raise();
        window.activateWindow();
    });
    window.show();
    return app->exec();
}
