#include "patience.h"
#include "pkexecstandin.h"
#include "platform/platform.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using platform::ElevatedRun;
using platform::Os;

Q_DECLARE_METATYPE(ElevatedRun::Outcome)
Q_DECLARE_METATYPE(PkexecStandIn::Mode)

namespace {

// Copies the stand-in program to `folder`/`name` so it runs under that image path.
QString placeGame(const QString &folder, const QString &name)
{
    QDir().mkpath(folder);
    const QString path = folder + QLatin1Char('/') + name;
    QFile::remove(path);
    return QFile::copy(QStringLiteral(TEST_GAME_EXE), path) ? path : QString();
}

const platform::ProcessInfo *findPid(const QList<platform::ProcessInfo> &list, qint64 pid)
{
    for (const auto &info : list) {
        if (info.pid == pid)
            return &info;
    }
    return nullptr;
}

} // namespace

class TestPlatform : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;
    QTemporaryDir work;
    std::vector<std::unique_ptr<QProcess>> running;

    QProcess *startGame(const QString &path)
    {
        auto process = std::make_unique<QProcess>();
        process->start(path, {QStringLiteral("--no-window")});
        if (!process->waitForStarted(busyMachinePatienceMs))
            return nullptr;
        running.push_back(std::move(process));
        return running.back().get();
    }

private slots:
    void cleanup()
    {
        for (auto &process : running) {
            process->kill();
            process->waitForFinished(10000);
        }
        running.clear();
    }

    void executableNames_data()
    {
        QTest::addColumn<QString>("profileName");
        QTest::addColumn<QString>("windows");
        QTest::addColumn<QString>("other");
        QTest::newRow("exe") << "launcher.exe"
                             << "launcher.exe"
                             << "launcher";
        QTest::newRow("upper case suffix") << "Game.EXE"
                                           << "Game.EXE"
                                           << "Game";
        QTest::newRow("no suffix") << "game"
                                   << "game"
                                   << "game";
        QTest::newRow("suffix only inside") << "a.exe.txt"
                                            << "a.exe.txt"
                                            << "a.exe.txt";
    }

    void executableNames()
    {
        QFETCH(QString, profileName);
        QTEST(platform::executableFileName(profileName, Os::Windows), "windows");
        QTEST(platform::executableFileName(profileName, Os::Other), "other");
    }

    void windowsCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << QStringList{"-p", "C:\\Games\\launcher.exe"}
                               << "-p C:\\Games\\launcher.exe";
        QTest::newRow("empty values")
            << QStringList{"--dest", "", "--ignore", ""} << "--dest \"\" --ignore \"\"";
        QTest::newRow("spaces") << QStringList{"--source", "C:\\Program Files (x86)\\Game"}
                                << "--source \"C:\\Program Files (x86)\\Game\"";
        QTest::newRow("trailing backslash")
            << QStringList{"C:\\My Games\\"} << "\"C:\\My Games\\\\\"";
        QTest::newRow("quote inside") << QStringList{"say \"hi\""} << "\"say \\\"hi\\\"\"";
        QTest::newRow("backslashes before quote")
            << QStringList{"a\\\\\"b"} << "\"a\\\\\\\\\\\"b\"";
        QTest::newRow("url") << QStringList{"-u", "https://x.example/a b.zip?x=1&y=2"}
                             << "-u \"https://x.example/a b.zip?x=1&y=2\"";
    }

    void windowsCommandLine()
    {
        QFETCH(QStringList, arguments);
        QTEST(platform::windowsCommandLine(arguments), "expected");
    }

    void imageInFolder_data()
    {
        QTest::addColumn<QString>("image");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("windows");
        QTest::addColumn<bool>("other");
        QTest::newRow("inside") << "/opt/game/launcher"
                                << "/opt/game" << true << true;
        QTest::newRow("folder with slash") << "/opt/game/launcher"
                                           << "/opt/game/" << true << true;
        QTest::newRow("unclean folder") << "/opt/game/launcher"
                                        << "/opt/x/../game" << true << true;
        QTest::newRow("sub-folder") << "/opt/game/bin/launcher"
                                    << "/opt/game" << false << false;
        QTest::newRow("sibling prefix") << "/opt/game2/launcher"
                                        << "/opt/game" << false << false;
        QTest::newRow("other case") << "/opt/Game/launcher"
                                    << "/opt/game" << true << false;
        QTest::newRow("native separators") << "C:\\Games\\launcher.exe"
                                           << "C:/games" << true << false;
        QTest::newRow("unknown image") << ""
                                       << "/opt/game" << false << false;
    }

    void imageInFolder()
    {
        QFETCH(QString, image);
        QFETCH(QString, folder);
        QTEST(platform::isImageInFolder(image, folder, Os::Windows), "windows");
        QTEST(platform::isImageInFolder(image, folder, Os::Other), "other");
    }

    void processListShowsNameAndImagePath_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << "ashgrove_dx";
        QTest::newRow("other letter case") << "AshGrove_DX";
        QTest::newRow("space in name") << "ash grove";
    }

    void processListShowsNameAndImagePath()
    {
        QFETCH(QString, name);
        const QString path = placeGame(work.filePath(QStringLiteral("install dir")), name);
        QVERIFY(!path.isEmpty());
        QProcess *game = startGame(path);
        QVERIFY(game);
        const auto list = platform::runningProcesses();
        const platform::ProcessInfo *info = findPid(list, game->processId());
        QVERIFY(info);
        QCOMPARE(info->imageName, name);
        QCOMPARE(info->imagePath, QDir::toNativeSeparators(path));
    }

    void processListKeepsReplacedImage()
    {
        const QString path = placeGame(work.filePath(QStringLiteral("replaced")), "launcher");
        QProcess *game = startGame(path);
        QVERIFY(game);
        QVERIFY(QFile::remove(path));
        const auto list = platform::runningProcesses();
        const platform::ProcessInfo *info = findPid(list, game->processId());
        QVERIFY(info);
        QCOMPARE(info->imageName, QStringLiteral("launcher"));
        QCOMPARE(info->imagePath, path);
    }

    void stopOnlyProcessesInFolder()
    {
        const QString target = work.filePath(QStringLiteral("target"));
        const QString elsewhere = work.filePath(QStringLiteral("elsewhere"));
        QProcess *first = startGame(placeGame(target, "launcher"));
        QProcess *second = startGame(target + "/launcher");
        QProcess *otherFolder = startGame(placeGame(elsewhere, "launcher"));
        QProcess *subFolder = startGame(placeGame(target + "/bin", "launcher"));
        QProcess *otherName = startGame(placeGame(target, "launcher2"));
        QProcess *otherCase = startGame(placeGame(target, "Launcher"));
        QVERIFY(first && second && otherFolder && subFolder && otherName && otherCase);

        QCOMPARE(platform::stopProcessesInFolder(QStringLiteral("launcher"), target), 2);
        for (QProcess *stopped : {first, second}) {
            QTRY_COMPARE_WITH_TIMEOUT(stopped->state(), QProcess::NotRunning,
                                      busyMachinePatienceMs);
            QCOMPARE(stopped->exitStatus(), QProcess::CrashExit);
        }
        for (QProcess *alive : {otherFolder, subFolder, otherName, otherCase})
            QCOMPARE(alive->state(), QProcess::Running);
        QCOMPARE(platform::stopProcessesInFolder(QStringLiteral("launcher"), target), 0);
    }

    void stopThroughLinkedFolder()
    {
        const QString real = work.filePath(QStringLiteral("real"));
        const QString link = work.filePath(QStringLiteral("link"));
        QProcess *game = startGame(placeGame(real, "launcher"));
        QVERIFY(game);
        QVERIFY(QFile::link(real, link));
        QCOMPARE(platform::stopProcessesInFolder(QStringLiteral("launcher"), link), 1);
        QTRY_COMPARE_WITH_TIMEOUT(game->state(), QProcess::NotRunning, busyMachinePatienceMs);
    }

    void stopNeverHitsItself()
    {
        const QFileInfo self(QCoreApplication::applicationFilePath());
        QCOMPARE(platform::stopProcessesInFolder(self.fileName(), self.path()), 0);
    }

    void runElevated_data()
    {
        QTest::addColumn<PkexecStandIn::Mode>("mode");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<ElevatedRun::Outcome>("outcome");
        QTest::addColumn<int>("exitCode");
        const auto run = PkexecStandIn::Mode::Run;
        QTest::newRow("success") << run << QStringList{"-c", "exit 0"}
                                 << ElevatedRun::Outcome::Finished << 0;
        QTest::newRow("failure code")
            << run << QStringList{"-c", "exit 3"} << ElevatedRun::Outcome::Finished << 3;
        // The program sees every argument, empty ones included.
        QTest::newRow("empty arguments kept") << run << QStringList{"-c", "exit $#", "x", "", ""}
                                              << ElevatedRun::Outcome::Finished << 2;
        QTest::newRow("declined") << PkexecStandIn::Mode::Decline << QStringList{"-c", "exit 0"}
                                  << ElevatedRun::Outcome::Declined << 126;
    }

    void runElevated()
    {
        QFETCH(PkexecStandIn::Mode, mode);
        QFETCH(QStringList, arguments);
        PkexecStandIn pkexec(mode);
        const ElevatedRun result =
            platform::runElevated(QStringLiteral("/bin/sh"), arguments, 30000);
        QTEST(result.outcome, "outcome");
        QTEST(result.exitCode, "exitCode");
        QCOMPARE(pkexec.calls(), QList<QStringList>{QStringList{"/bin/sh"} + arguments});
    }

    void runElevatedTimesOutAndStops()
    {
        PkexecStandIn pkexec;
        const QString game = placeGame(work.filePath(QStringLiteral("slow")), "slow_game");
        const QString never = work.filePath(QStringLiteral("never"));
        const ElevatedRun result =
            platform::runElevated(game, {"--no-window", "--quit-file", never}, 300);
        QCOMPARE(result.outcome, ElevatedRun::Outcome::TimedOut);
        QCOMPARE(result.exitCode, 1);
        for (const auto &info : platform::runningProcesses())
            QVERIFY(info.imagePath != game);
    }

    void runElevatedWithoutElevationTool()
    {
        const QByteArray savedPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(work.filePath(QStringLiteral("empty"))));
        const ElevatedRun result = platform::runElevated(QStringLiteral("/bin/true"), {}, 30000);
        qputenv("PATH", savedPath);
        QCOMPARE(result.outcome, ElevatedRun::Outcome::Declined);
    }

    void startElevatedDetachedInFolder()
    {
        PkexecStandIn pkexec;
        const QString folder = work.filePath(QStringLiteral("detached dir"));
        QVERIFY(QDir().mkpath(folder));
        const QString out = work.filePath(QStringLiteral("pwd.txt"));
        const QString script = QStringLiteral("pwd > \"$1.part\" && mv \"$1.part\" \"$1\"");
        QVERIFY(platform::startElevatedDetached(QStringLiteral("/bin/sh"),
                                                {"-c", script, "sh", out}, folder));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(out), 20000);
        QCOMPARE(readFile(out).trimmed(), QFile::encodeName(folder));
        const QStringList expected{"/bin/sh", "-c", script, "sh", out};
        const auto calls = pkexec.calls();
        QCOMPARE(calls.size(), 1);
        QVERIFY(calls[0].mid(calls[0].size() - expected.size()) == expected);
        // What precedes the program only hands the display on.
        const QStringList prefix = calls[0].mid(0, calls[0].size() - expected.size());
        QCOMPARE(prefix.value(0), QStringLiteral("/usr/bin/env"));
        if (!qEnvironmentVariableIsEmpty("DISPLAY"))
            QVERIFY(prefix.contains("DISPLAY=" + qEnvironmentVariable("DISPLAY")));
        for (const QString &assignment : prefix.mid(1))
            QVERIFY2(assignment.contains('='), qPrintable(assignment));
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
