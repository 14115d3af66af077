// A stand-in for the game and for other programs the tests need running: it
// shows a window titled as asked (or none) and exits when told.
//
//   test_game [--title T] [--no-window] [--hidden] [--exit-code N]
//             [--quit-file PATH] [--commands]
//
// --quit-file: exit as soon as PATH exists (works for detached starts).
// --commands: read lines from standard input: show, hide, minimize, quit, id;
//             each is echoed once done ("id" answers "id <native window id>");
//             "ready" is printed first.
#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSocketNotifier>
#include <QWidget>

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

} // namespace

int main(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    const QCommandLineOption title("title", "Window title", "title", "Test Game");
    const QCommandLineOption noWindow("no-window", "Run without a window or display");
    const QCommandLineOption hidden("hidden", "Create the window but leave it hidden");
    const QCommandLineOption exitCode("exit-code", "Exit code when told to quit", "code", "0");
    const QCommandLineOption quitFile("quit-file", "Quit once this file exists", "path");
    const QCommandLineOption commands("commands", "Read commands from standard input");
    parser.addOptions({title, noWindow, hidden, exitCode, quitFile, commands});
    parser.parse(arguments);

    std::unique_ptr<QCoreApplication> app;
    if (parser.isSet(noWindow))
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    const int code = parser.value(exitCode).toInt();

    std::unique_ptr<QWidget> window;
    if (!parser.isSet(noWindow)) {
        window = std::make_unique<QWidget>();
        window->setWindowTitle(parser.value(title));
        window->resize(320, 200);
        if (!parser.isSet(hidden))
            window->show();
    }

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
