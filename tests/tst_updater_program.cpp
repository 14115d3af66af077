#include "patience.h"
#include "pkexecstandin.h"
#include "testenvironment.h"
#include "testhttpserver.h"
#include "unprivileged.h"
#include "ziparchive.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QString updaterExe = QStringLiteral(UPDATER_EXE);

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

    Run runUpdater(const QStringList &arguments)
    {
        QProcess process;
        process.setWorkingDirectory(elsewhere);
        process.start(updaterExe, arguments);
        return finish(process);
    }

    void startAsNobody(QProcess &process, const QStringList &arguments)
    {
        process.setWorkingDirectory(elsewhere);
        runAsUnprivileged(process, updaterExe, arguments, nobodyHome);
        process.start();
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
                         {{"launcher", "new launcher"}, {"bin/tool.dat", "tool"}}));
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
        QDir(target).removeRecursively();
        QVERIFY(QDir().mkpath(target));
        QVERIFY(QDir().mkpath(elsewhere));
        QVERIFY(writeFile(target + QStringLiteral("/launcher"), "old launcher"));
        setFolderWritableByOthers(target, false);
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

    void replacesLauncherFiles()
    {
        QFETCH(QStringList, forms);
        const Run run =
            runUpdater({forms[0], target + QStringLiteral("/launcher"), forms[1], packageUrl});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(!run.log.contains(QLatin1String("Update failed")), qPrintable(run.log));
        QCOMPARE(readFile(target + QStringLiteral("/launcher")), QByteArray("new launcher"));
        QCOMPARE(readFile(target + QStringLiteral("/bin/tool.dat")), QByteArray("tool"));
        QVERIFY(!QFileInfo::exists(elsewhere + QStringLiteral("/launcher")));
    }

    void downloadErrorEndsWithZero()
    {
        const Run run = runUpdater({"-p", target + QStringLiteral("/launcher"), "-u",
                                    server->url(QStringLiteral("/missing.zip")).toString()});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.log.contains(QLatin1String("Not Found")), qPrintable(run.log));
        QCOMPARE(readFile(target + QStringLiteral("/launcher")), QByteArray("old launcher"));
    }

    void unwritableFolderRestartsElevated()
    {
        PkexecStandIn pkexec(PkexecStandIn::Mode::Record);
        const QString launcher = target + QStringLiteral("/launcher");
        QProcess process;
        startAsNobody(process, {"--path", launcher, "--url", packageUrl});
        const Run run = finish(process);
        QCOMPARE(run.exitCode, 0);
        const QStringList expected{updaterExe, "-p", launcher, "-u", packageUrl, "-e"};
        // The restart is detached: the updater can be gone before it is recorded.
        QTRY_COMPARE_WITH_TIMEOUT(pkexec.calls().size(), 1, busyMachinePatienceMs);
        const auto calls = pkexec.calls();
        // env and the display settings come first, then the restart itself.
        QVERIFY2(calls[0].mid(calls[0].size() - expected.size()) == expected,
                 qPrintable(calls[0].join(' ')));
        QCOMPARE(calls[0].first(), QStringLiteral("/usr/bin/env"));
        QCOMPARE(readFile(launcher), QByteArray("old launcher"));

        // What the elevation grants: the same command with rights to the folder,
        // started from wherever the system chooses.
        QProcess elevated;
        elevated.setWorkingDirectory(elsewhere);
        elevated.start(calls[0].first(), calls[0].mid(1));
        const Run granted = finish(elevated);
        QCOMPARE(granted.exitCode, 0);
        QCOMPARE(readFile(launcher), QByteArray("new launcher"));
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
