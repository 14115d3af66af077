#include "patience.h"
#include "pkexecstandin.h"
#include "testenvironment.h"
#include "testhttpserver.h"
#include "unprivileged.h"
#include "windowcloser.h"
#include "ziparchive.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <memory>
#include <pwd.h>

namespace {

const QString updaterExe = QStringLiteral(UPDATER_EXE);
const QString windowTitle = QStringLiteral("Launcher Update");
const QFile::Permissions runnable =
    QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther;

// A launcher that notes which release was started again, where the test says.
QByteArray launcherScript(const QByteArray &release)
{
    return "#!/bin/sh\n[ -z \"$LAUNCHER_STARTED\" ] || echo " + release +
           " >> \"$LAUNCHER_STARTED\"\n";
}

struct Run
{
    int exitCode = -1;
    QString log;
};

Run finish(QProcess &process)
{
    if (!process.waitForStarted(30000) || !process.waitForFinished(60000))
        return {-1, QString::fromLocal8Bit(process.readAllStandardError())};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardError())};
}

} // namespace

// The real updater program, started the way the launcher and the elevation
// request start it.
class TestUpdaterProgram : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;
    QTemporaryDir work;
    std::unique_ptr<TestHttpServer> server;
    QString target;
    QString elsewhere;
    QString nobodyHome;
    QString packageUrl;
    QString started; // what the restarted launchers noted
    QMap<QString, QByteArray> oldRelease;
    QMap<QString, QByteArray> newRelease;

    // The updater as the player runs it (on the display), with more environment.
    void startUpdater(QProcess &process, const QStringList &arguments,
                      const QStringList &environment = {}, const QString &program = updaterExe)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &assignment : environment)
            env.insert(assignment.section(QLatin1Char('='), 0, 0),
                       assignment.section(QLatin1Char('='), 1));
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(elsewhere);
        process.start(program, arguments);
    }

    // Waits until the updater has reported its failure, then closes its window.
    Run closeAfterFailure(QProcess &process, QString log = {})
    {
        const auto failed = [&] {
            log += QString::fromLocal8Bit(process.readAllStandardError());
            return log.contains(QLatin1String("Update failed"));
        };
        if (!QTest::qWaitFor(failed, busyMachinePatienceMs))
            return {-1, log};
        const qint64 pid = process.processId();
        if (!QTest::qWaitFor([pid] { return closeWindow(windowTitle, pid); },
                             busyMachinePatienceMs))
            return {-1, log};
        Run run = finish(process);
        run.log.prepend(log);
        return run;
    }

    Run runUpdater(const QStringList &arguments)
    {
        QProcess process;
        startUpdater(process, arguments);
        return finish(process);
    }

    void startAsNobody(QProcess &process, const QStringList &arguments)
    {
        process.setWorkingDirectory(elsewhere);
        runAsUnprivileged(process, updaterExe, arguments, nobodyHome);
        // The display's key is root's: nobody's window stays off screen.
        QProcessEnvironment env = process.processEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.start();
    }

    void resetTarget()
    {
        QDir(target).removeRecursively();
        for (auto it = oldRelease.cbegin(); it != oldRelease.cend(); ++it)
            QVERIFY(writeFile(target + QLatin1Char('/') + it.key(), it.value()));
        QVERIFY(QFile::setPermissions(target + QStringLiteral("/launcher"), runnable));
        setFolderWritableByOthers(target, false);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(work.isValid());
        openPathForOthers(work.path());
        setFolderWritableByOthers(work.path(), false);
        const QString served = work.filePath(QStringLiteral("served"));
        QVERIFY(QDir().mkpath(served));
        QVERIFY(writeZip(served + QStringLiteral("/launcher.zip"),
                         {{"launcher", launcherScript("new"), runnable},
                          {"data.txt", "new"},
                          {"bin/", {}},
                          {"bin/tool.dat", "tool"},
                          {"sub/deep/added.txt", "added"}}));
        newRelease = {{"launcher", launcherScript("new")},
                      {"data.txt", "new"},
                      {"bin/", {}},
                      {"bin/tool.dat", "tool"},
                      {"sub/", {}},
                      {"sub/deep/", {}},
                      {"sub/deep/added.txt", "added"},
                      {"mine.txt", "the player's"}};
        oldRelease = {
            {"launcher", launcherScript("old")}, {"data.txt", "old"}, {"mine.txt", "the player's"}};
        started = work.filePath(QStringLiteral("started.txt"));
        qputenv("LAUNCHER_STARTED", QFile::encodeName(started));
        server = std::make_unique<TestHttpServer>(served);
        QVERIFY(server->start());
        packageUrl = server->url(QStringLiteral("/launcher.zip")).toString();
        nobodyHome = work.filePath(QStringLiteral("nobody home"));
        QVERIFY(QDir().mkpath(nobodyHome));
        setFolderWritableByOthers(nobodyHome, true);
    }

    void init()
    {
        target = work.filePath(QStringLiteral("launcher dir"));
        elsewhere = work.filePath(QStringLiteral("started here"));
        resetTarget();
        QVERIFY(QDir().mkpath(elsewhere));
        QFile::remove(started);
        setFolderWritableByOthers(elsewhere, true);
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("nothing") << QStringList{} << 1 << "Launcher path must be specified!";
        QTest::newRow("url only") << QStringList{"--url", "http://127.0.0.1:1/x.zip"} << 1
                                  << "Launcher path must be specified!";
        QTest::newRow("path only")
            << QStringList{"--path", "/opt/x/launcher"} << 1 << "Update URL must be specified!";
        QTest::newRow("short path only")
            << QStringList{"-p", "/opt/x/launcher", "-e"} << 1 << "Update URL must be specified!";
        QTest::newRow("unknown option") << QStringList{"--bogus"} << 1 << "Unknown option 'bogus'";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        const Run run = runUpdater(arguments);
        QTEST(run.exitCode, "exitCode");
        QFETCH(QString, message);
        QVERIFY2(run.log.contains(message), qPrintable(run.log));
    }

    void replacesLauncherFiles_data()
    {
        QTest::addColumn<QStringList>("forms");
        QTest::newRow("long") << QStringList{"--path", "--url"};
        QTest::newRow("short") << QStringList{"-p", "-u"};
    }

    // The player is given the new launcher back at once.
    void replacesLauncherFiles()
    {
        QFETCH(QStringList, forms);
        const Run run =
            runUpdater({forms[0], target + QStringLiteral("/launcher"), forms[1], packageUrl});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(!run.log.contains(QLatin1String("Update failed")), qPrintable(run.log));
        QCOMPARE(treeOf(target), newRelease);
        QVERIFY(!QFileInfo::exists(elsewhere + QStringLiteral("/launcher")));
        QTRY_COMPARE_WITH_TIMEOUT(readFile(started), QByteArray("new\n"), busyMachinePatienceMs);
    }

    // A failure stays on screen until the player closes the window, ends with 1,
    // and gives the player the old launcher back, whole.
    void failuresEndWithOne_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("inTheWay"); // a file where the release has a folder
        QTest::newRow("download error") << "/missing.zip"
                                        << "";
        QTest::newRow("file where the release has a folder") << "/launcher.zip"
                                                             << "sub";
    }

    void failuresEndWithOne()
    {
        QFETCH(QString, url);
        QFETCH(QString, inTheWay);
        if (!inTheWay.isEmpty())
            QVERIFY(writeFile(target + QLatin1Char('/') + inTheWay, "in the way"));
        const QMap<QString, QByteArray> before = treeOf(target);
        QProcess process;
        startUpdater(process, {"-p", target + QStringLiteral("/launcher"), "-u",
                               server->url(url).toString()});
        const Run run = closeAfterFailure(process);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(treeOf(target), before);
        QTRY_COMPARE_WITH_TIMEOUT(readFile(started), QByteArray("old\n"), busyMachinePatienceMs);
    }

    // Killed after any step of its swap, the updater leaves a launcher that
    // starts; the next start of the launcher (or of the updater) ends with one
    // whole release. A step that fails instead is undone.
    void interruptedSwapEndsWhole()
    {
        // The steps of the swap: every change of a name in its hidden folder.
        const auto fault = [this](const QString &mode, int step) {
            return QStringList{"LD_PRELOAD=" STEP_FAULT_LIB,
                               "STEP_FAULT_PATH=" + target + "/.launcher-update",
                               "STEP_FAULT_MODE=" + mode, "STEP_FAULT_AT=" + QString::number(step),
                               "ASAN_OPTIONS=" + qEnvironmentVariable("ASAN_OPTIONS") +
                                   ":verify_asan_link_order=0"};
        };
        const QStringList arguments{"-p", target + QStringLiteral("/launcher"), "-u", packageUrl};
        for (int step = 1;; ++step) {
            QProcess killed;
            startUpdater(killed, arguments, fault("kill", step));
            QVERIFY(killed.waitForFinished(busyMachinePatienceMs));
            if (killed.exitStatus() == QProcess::NormalExit) {
                QCOMPARE(killed.exitCode(), 0); // no step was left to stop at
                QCOMPARE(treeOf(target), newRelease);
                QVERIFY2(step > 10, "the swap takes more steps than this");
                break;
            }
            QCOMPARE(QProcess::execute(target + QStringLiteral("/launcher"), {}), 0);
            if (step % 2) {
                // The real launcher's start, from the same folder.
                const QString launcher = target + QStringLiteral("/launcher-check");
                QVERIFY(QFile::copy(QStringLiteral(LAUNCHER_EXE), launcher));
                QProcess check;
                check.start(launcher, QStringList());
                QTRY_VERIFY_WITH_TIMEOUT(
                    !QFileInfo::exists(target + QStringLiteral("/.launcher-update")) &&
                        !QFileInfo::exists(target + QStringLiteral("/.launcher-update.lock")),
                    busyMachinePatienceMs);
                check.kill();
                check.waitForFinished();
                QVERIFY(QFile::remove(launcher));
                const QMap<QString, QByteArray> tree = treeOf(target);
                QVERIFY2(tree == oldRelease || tree == newRelease,
                         qPrintable(QString::number(step)));
            }
            QCOMPARE(runUpdater(arguments).exitCode, 0);
            QCOMPARE(treeOf(target), newRelease);

            resetTarget();
            QProcess failing;
            startUpdater(failing, arguments, fault("fail", step));
            QString log;
            QVERIFY(QTest::qWaitFor(
                [&] {
                    log += QString::fromLocal8Bit(failing.readAllStandardError());
                    return failing.state() == QProcess::NotRunning ||
                           log.contains(QLatin1String("Update failed"));
                },
                busyMachinePatienceMs));
            const bool failed = failing.state() != QProcess::NotRunning;
            QCOMPARE(failed ? closeAfterFailure(failing, log).exitCode : failing.exitCode(),
                     failed ? 1 : 0);
            // What could not be tidied away is left for the next start.
            QMap<QString, QByteArray> tree = treeOf(target);
            tree.removeIf([](auto entry) { return entry.key().startsWith(".launcher-update"); });
            QCOMPARE(tree, failed ? oldRelease : newRelease);
            resetTarget();
        }
    }

    // The elevated copy stops only the launchers of the player who asked (not
    // another user's), replaces the files, and starts no launcher as administrator.
    void unwritableFolderRestartsElevated()
    {
        PkexecStandIn pkexec(PkexecStandIn::Mode::Record);
        const QString launcher = target + QStringLiteral("/launcher");
        QVERIFY(QFile::remove(launcher) && QFile::copy(QStringLiteral(TEST_GAME_EXE), launcher));
        QVERIFY(QFile::setPermissions(launcher, runnable));
        const QString player = QString::number(::getpwnam("nobody")->pw_uid);
        std::map<QString, std::unique_ptr<QProcess>> running;
        for (const QString &user : {player, QStringLiteral("4242"), QStringLiteral("0")}) {
            auto &process = running[user] = std::make_unique<QProcess>();
            process->start(QStringLiteral("setpriv"), {"--reuid=" + user, "--regid=" + user,
                                                       "--clear-groups", launcher, "--no-window"});
            QVERIFY(process->waitForStarted(busyMachinePatienceMs));
        }

        QProcess process;
        startAsNobody(process, {"--path", launcher, "--url", packageUrl});
        const Run run = finish(process);
        QCOMPARE(run.exitCode, 0);
        const QStringList expected{updaterExe, "-p", launcher, "-u", packageUrl, "-e"};
        // The restart is detached: the updater can be gone before it is recorded.
        QTRY_COMPARE_WITH_TIMEOUT(pkexec.calls().size(), 1, busyMachinePatienceMs);
        QStringList call = pkexec.calls().first();
        // env and the display settings come first, then the restart itself.
        QVERIFY2(call.mid(call.size() - expected.size()) == expected, qPrintable(call.join(' ')));
        QCOMPARE(call.first(), QStringLiteral("/usr/bin/env"));

        // What the elevation grants: the same command as root on the player's
        // behalf, started from wherever the system chooses (here on the display).
        call.removeIf(
            [](const QString &argument) { return argument.startsWith("QT_QPA_PLATFORM="); });
        QProcess elevated;
        startUpdater(elevated, call.mid(1), {"PKEXEC_UID=" + player}, call.first());
        QTRY_COMPARE_WITH_TIMEOUT(readFile(launcher), launcherScript("new"), busyMachinePatienceMs);
        QTRY_COMPARE_WITH_TIMEOUT(running[player]->state(), QProcess::NotRunning,
                                  busyMachinePatienceMs);
        QCOMPARE(running[QStringLiteral("4242")]->state(), QProcess::Running);
        QCOMPARE(running[QStringLiteral("0")]->state(), QProcess::Running);
        // Its window stays until the player closes it, and no launcher was started.
        const qint64 pid = elevated.processId();
        QVERIFY(QTest::qWaitFor([pid] { return closeWindow(windowTitle, pid); },
                                busyMachinePatienceMs));
        QCOMPARE(finish(elevated).exitCode, 0);
        QVERIFY(!QFileInfo::exists(started));
        for (auto &[user, process] : running) {
            process->kill();
            process->waitForFinished(10000);
        }
    }

    void elevatedRunStillUnwritableShowsError()
    {
        PkexecStandIn pkexec(PkexecStandIn::Mode::Record);
        QProcess process;
        startAsNobody(process,
                      {"-p", target + QStringLiteral("/launcher"), "-u", packageUrl, "-e"});
        QVERIFY(process.waitForStarted(30000));
        QString log;
        QTRY_VERIFY_WITH_TIMEOUT(
            (log += QString::fromLocal8Bit(process.readAllStandardError()))
                .contains(QLatin1String("Failed to write files even with sufficient privileges")),
            30000);
        // The error stays on screen until the user closes the window.
        QCOMPARE(process.state(), QProcess::Running);
        QCOMPARE(pkexec.calls(), QList<QStringList>());
        process.kill();
        process.waitForFinished(10000);
    }
};

QTEST_GUILESS_MAIN(TestUpdaterProgram)
#include "tst_updater_program.moc"
