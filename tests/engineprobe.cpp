// Stands in for the launcher in tests of the paths that end the program or that
// must run as another user: it runs the launcher version check (optionally
// followed by a game update check), or an uninstall, and prints what the engine
// did. Exit code 3 means the engine let it go on. With --hold the uninstall's
// mover waits at a gate while the probe reports on what still runs meanwhile.
#include "movergate.h"
#include "presetprompter.h"
#include "settings.h"
#include "updater.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

void say(const QString &line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

constexpr int wentOn = 3;

} // namespace

int main(int argc, char **argv)
{
    // Started by the engine as its file mover: hand over to the real one.
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--source") == 0) {
            QStringList arguments;
            for (int j = 1; j < argc; ++j)
                arguments << QString::fromLocal8Bit(argv[j]);
            const int held = passMoverGate(arguments);
            if (held >= 0)
                return held;
            return QProcess::execute(QStringLiteral(LAUNCHER_EXE), arguments);
        }
    }

    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption versionUrl(QStringLiteral("version-url"), QString(),
                                        QStringLiteral("url"));
    const QCommandLineOption localVersion(QStringLiteral("local-version"), QString(),
                                          QStringLiteral("v"));
    const QCommandLineOption answer(QStringLiteral("answer"), QString(), QStringLiteral("yes|no"));
    const QCommandLineOption thenCheck(QStringLiteral("then-check"), QString(),
                                       QStringLiteral("url"));
    const QCommandLineOption stall(QStringLiteral("stall-timeout"), QString(),
                                   QStringLiteral("ms"));
    const QCommandLineOption uninstall(QStringLiteral("uninstall"), QString(),
                                       QStringLiteral("dir"));
    const QCommandLineOption hold(QStringLiteral("hold"));
    const QCommandLineOption updateUrl(QStringLiteral("update-url"), QString(),
                                       QStringLiteral("url"));
    const QCommandLineOption update(QStringLiteral("update"), QString(), QStringLiteral("dir"));
    parser.addOptions(
        {versionUrl, localVersion, answer, thenCheck, stall, uninstall, hold, updateUrl, update});
    parser.process(app);

    Settings settings;
    Settings::instance = &settings;
    settings.launcherUpdateUrl = parser.value(versionUrl);
    settings.version = parser.value(localVersion);

    PresetPrompter prompter;
    if (parser.isSet(answer))
        prompter.presetAnswer(parser.value(answer) == QLatin1String("yes"));

    int exitCode = 0;
    {
        Updater updater;
        updater.setPrompter(&prompter);
        if (parser.isSet(stall))
            updater.setStallTimeout(parser.value(stall).toInt());

        QObject::connect(&updater, &Updater::launcherVersionCheckComplete, [&](bool success) {
            say(QStringLiteral("complete %1").arg(success ? "true" : "false"));
            // As the window does: the launcher ends, saying why when the server was not reached.
            if (!success) {
                if (!updater.launcherCheckStatus())
                    prompter.tell(Prompter::Box::Critical, QStringLiteral("Launch Error"),
                                  updater.launcherCheckStatus().message());
                QCoreApplication::exit(0);
                return;
            }
            if (!parser.isSet(thenCheck)) {
                QTimer::singleShot(0, [] { QCoreApplication::exit(wentOn); });
                return;
            }
            settings.updateUrl = parser.value(thenCheck);
            settings.lastUpdateCheck.clear();
            updater.checkForUpdates();
        });
        QObject::connect(&updater, &Updater::downloadError,
                         [](const QString &error) { say(QStringLiteral("error ") + error); });
        QObject::connect(&updater, &Updater::stateChanged,
                         [](const QString &state) { say(QStringLiteral("state ") + state); });

        if (parser.isSet(update)) {
            // What the window does on a press of its button: check, run, install.
            settings.setInstallPath(parser.value(update));
            settings.updateUrl = parser.value(updateUrl);
            settings.lastUpdateCheck.clear();
            QObject::connect(&updater, &Updater::updateAvailable, &updater,
                             [&updater] { updater.startUpdate(); });
            QObject::connect(&updater, &Updater::noUpdateAvailable, &updater, [&updater] {
                say(QStringLiteral("pending %1")
                        .arg(QVariant::fromValue(updater.installPendingFiles()).toString()));
                QCoreApplication::exit(0);
            });
            QObject::connect(&updater, &Updater::updateComplete, &updater, [] {
                say(QStringLiteral("complete"));
                QCoreApplication::exit(0);
            });
            QObject::connect(&updater, &Updater::downloadError, &updater,
                             [] { QCoreApplication::exit(1); });
            updater.checkForUpdates();
            exitCode = app.exec();
        } else if (parser.isSet(uninstall)) {
            settings.setInstallPath(parser.value(uninstall));
            // Uninstall removes what the manifest lists: read it first, as the window would have.
            if (parser.isSet(updateUrl)) {
                settings.updateUrl = parser.value(updateUrl);
                QEventLoop loop;
                QObject::connect(&updater, &Updater::updateAvailable, &loop, &QEventLoop::quit);
                QObject::connect(&updater, &Updater::noUpdateAvailable, &loop, &QEventLoop::quit);
                QObject::connect(&updater, &Updater::downloadError, &loop, &QEventLoop::quit);
                updater.checkForUpdates();
                loop.exec();
            }
            // Once the mover is held and the timer has ticked a few times, ask
            // for a second uninstall and a second move, then let the mover go.
            std::unique_ptr<MoverGate> gate;
            QTimer ticker;
            int ticks = 0;
            if (parser.isSet(hold)) {
                gate = std::make_unique<MoverGate>();
                ticker.setInterval(1);
                QObject::connect(gate.get(), &MoverGate::arrived, [&](int index) {
                    if (index > 0)
                        gate->release(index);
                    else
                        ticker.start();
                });
                QObject::connect(&ticker, &QTimer::timeout, [&] {
                    if (++ticks < 3)
                        return;
                    ticker.stop();
                    const qsizetype boxes = prompter.shown.size();
                    prompter.presetAnswer(true);
                    updater.uninstall();
                    const bool moved = updater.installFiles(parser.value(uninstall), QString(), {});
                    say(QStringLiteral("held, ticked %1 times; second uninstall asked %2; second "
                                       "move %3")
                            .arg(ticks)
                            .arg(prompter.shown.size() - boxes)
                            .arg(moved ? "true" : "false"));
                    gate->release(0);
                });
            }
            updater.uninstall();
            if (gate)
                say(QStringLiteral("movers %1").arg(gate->arrivals()));
            exitCode = wentOn;
        } else {
            updater.checkLauncherVersion();
            exitCode = app.exec();
        }
    }

    for (const PresetPrompter::Shown &box : std::as_const(prompter.shown)) {
        say(QStringLiteral("box %1 %2: %3").arg(box.kind, box.title, box.text));
    }
    Settings::instance = nullptr;
    return exitCode;
}
