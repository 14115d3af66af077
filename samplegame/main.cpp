// A small game for the launcher to start: a window with a title, which stays
// for a while and exits. Started without arguments it does what the file
// samplegame.json beside it says (see gameconfig.h); the tests also drive it
// from the command line, whose options win over the file:
//
//   samplegame [--title T] [--no-window] [--hidden] [--exit-code N]
//              [--quit-file PATH] [--commands]
//
// --quit-file: exit as soon as PATH exists (works for detached starts).
// --commands: read lines from standard input: show, hide, minimize, quit, id;
//             each is echoed once done ("id" answers "id <native window id>");
//             "ready" is printed first.
#include "gameconfig.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QLabel>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

void say(const char *line)
{
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::unique_ptr<QLabel> makeWindow(const QString &title)
{
    auto window = std::make_unique<QLabel>(title);
    window->setWindowTitle(title);
    window->setAlignment(Qt::AlignCenter);
    window->setStyleSheet(QStringLiteral("background: #2b1d14; color: #FEFEC6; font-size: 20px;"));
    window->resize(320, 200);
    return window;
}

} // namespace

int main(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // Whether a display is needed is known only after reading the file, before
    // the application object exists; the launcher starts the game by its full path.
    const QString folder = QFileInfo(arguments.value(0)).absolutePath();
    const GameConfig config = GameConfig::read(QDir(folder).filePath(GameConfig::fileName()));

    QCommandLineParser parser;
    const QCommandLineOption title("title", "Window title", "title", config.title);
    const QCommandLineOption noWindow("no-window", "Run without a window or display");
    const QCommandLineOption hidden("hidden", "Create the window but leave it hidden");
    const QCommandLineOption exitCode("exit-code", "Exit code when told to quit", "code",
                                      QString::number(config.exitCode));
    const QCommandLineOption quitFile("quit-file", "Quit once this file exists", "path");
    const QCommandLineOption commands("commands", "Read commands from standard input");
    parser.addOptions({title, noWindow, hidden, exitCode, quitFile, commands});
    parser.parse(arguments);

    const bool withWindow = config.window && !parser.isSet(noWindow);
    std::unique_ptr<QCoreApplication> app;
    if (withWindow)
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    const int code = parser.value(exitCode).toInt();

    std::unique_ptr<QLabel> window;
    if (withWindow) {
        QApplication::setQuitOnLastWindowClosed(false);
        QObject::connect(qApp, &QGuiApplication::lastWindowClosed,
                         [code] { QCoreApplication::exit(code); });
        window = makeWindow(parser.value(title));
        if (!parser.isSet(hidden))
            window->show();
    }

    if (config.seconds > 0)
        QTimer::singleShot(config.seconds * 1000, [code] { QCoreApplication::exit(code); });

    QFileSystemWatcher watcher;
    if (parser.isSet(quitFile)) {
        const QString path = QFileInfo(parser.value(quitFile)).absoluteFilePath();
        auto check = [path, code] {
            if (QFile::exists(path))
                QCoreApplication::exit(code);
        };
        watcher.addPath(QFileInfo(path).path());
        QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, check);
        check();
    }

    std::unique_ptr<QSocketNotifier> input;
    QByteArray pending;
    if (parser.isSet(commands)) {
        input = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(input.get(), &QSocketNotifier::activated, [&] {
            char buffer[256];
            const ssize_t length = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (length <= 0) {
                input->setEnabled(false);
                return;
            }
            pending.append(buffer, length);
            int end;
            while ((end = pending.indexOf('\n')) >= 0) {
                const QByteArray command = pending.left(end).trimmed();
                pending.remove(0, end + 1);
                if (command == "quit")
                    QCoreApplication::exit(code);
                else if (window && command == "show")
                    window->showNormal();
                else if (window && command == "hide")
                    window->hide();
                else if (window && command == "minimize")
                    window->showMinimized();
                if (window && command == "id")
                    say(QByteArray("id " + QByteArray::number(window->winId())).constData());
                else
                    say(command.constData());
            }
        });
        say("ready");
    }
    return app->exec();
}
