#include "patience.h"
#include "platform/platform.h"
#include "programrun.h"
#include "testenvironment.h"
#include "testhttpserver.h"
#include "ziparchive.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

namespace {

ProgramRun patchtool(const QStringList &arguments)
{
    return runProgram(QStringLiteral(PATCHTOOL_EXE), QStringList{"release"} + arguments);
}

qint64 runningFrom(const QString &image)
{
    for (const platform::ProcessInfo &process : platform::runningProcesses()) {
        if (process.imagePath == image)
            return process.pid;
    }
    return 0;
}

bool copyFile(const QString &from, const QString &to)
{
    QDir().mkpath(QFileInfo(to).path());
    QFile::remove(to);
    return QFile::copy(from, to);
}

} // namespace

// A launcher folder is published with patchtool release and installed over an
// older one by the updater program, as a player's machine would do it.
class TestUpdaterRelease : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;
    QTemporaryDir work;
    QString release; // the studio's new launcher folder

    void makeRelease()
    {
        release = work.filePath(QStringLiteral("release"));
        QDir(release).removeRecursively();
        QVERIFY(copyFile(QStringLiteral(LAUNCHER_EXE), release + QStringLiteral("/launcher")));
        QVERIFY(copyFile(QStringLiteral(UPDATER_EXE), release + QStringLiteral("/updater")));
        QVERIFY(writeFile(release + QStringLiteral("/platforms/libqxcb.so.6.4.2"), "plugin"));
        QVERIFY(QFile::link(QStringLiteral("libqxcb.so.6.4.2"),
                            release + QStringLiteral("/platforms/libqxcb.so")));
        QVERIFY(writeFile(release + QStringLiteral("/.portable"), "dot-file"));
        QVERIFY(writeFile(release + QStringLiteral("/translations/pt_BR – ação.qm"), "catalogue"));
        QVERIFY(QDir().mkpath(release + QStringLiteral("/plugins/empty")));
    }

private slots:
    void initTestCase() { QVERIFY(work.isValid()); }

    void init() { makeRelease(); }

    void refusesBadInput_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        const QString url = QStringLiteral("https://download.example/launcher/ag-1.2.zip");
        const QString out = QStringLiteral("OUT");
        QTest::newRow("too few") << QStringList{"RELEASE", "1.2", url} << "usage:";
        QTest::newRow("no folder")
            << QStringList{"RELEASE/missing", "1.2", url, out} << "is not a folder";
        QTest::newRow("trailing space") << QStringList{"RELEASE", "1.2 ", url, out} << "version";
        QTest::newRow("empty version") << QStringList{"RELEASE", "", url, out} << "version";
        QTest::newRow("not a zip")
            << QStringList{"RELEASE", "1.2", "https://x.example/a.exe", out} << "PACKAGE_URL";
        QTest::newRow("no scheme")
            << QStringList{"RELEASE", "1.2", "launcher.zip", out} << "PACKAGE_URL";
        QTest::newRow("out inside")
            << QStringList{"RELEASE", "1.2", url, "RELEASE/out"} << "outside the launcher folder";
    }

    void refusesBadInput()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        arguments.replaceInStrings(QStringLiteral("RELEASE"), release);
        arguments.replaceInStrings(QStringLiteral("OUT"), work.filePath(QStringLiteral("out")));
        const ProgramRun run = patchtool(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.output().contains(message), qPrintable(run.output()));
        QVERIFY(!QFileInfo::exists(release + QStringLiteral("/out")));
    }

    void refusesIncompleteFolders_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("no updater") << "updater";
        QTest::newRow("link outside") << "link";
    }

    void refusesIncompleteFolders()
    {
        QFETCH(QString, change);
        if (change == QLatin1String("updater"))
            QVERIFY(QFile::remove(release + QStringLiteral("/updater")));
        else
            QVERIFY(QFile::link(QStringLiteral("/etc/hostname"), release + QStringLiteral("/x")));
        const ProgramRun run = patchtool(
            {release, "1.2", "https://d.example/l.zip", work.filePath(QStringLiteral("refused"))});
        QCOMPARE(run.exitCode, 2);
        QVERIFY(!QFileInfo::exists(work.filePath(QStringLiteral("refused/l.zip"))));
    }

    void publishedReleaseReplacesInstalledLauncher()
    {
        const QString served = work.filePath(QStringLiteral("served"));
        QDir(served).removeRecursively();
        TestHttpServer server(served);
        QVERIFY(server.start());
        const QString packageUrl =
            server.url(QStringLiteral("/launcher/ag_ptr_launcher-1.2.3.zip")).toString();
        const QString out = served + QStringLiteral("/launcher");

        const ProgramRun published = patchtool({release, "1.2.3", packageUrl, out});
        QCOMPARE(published.exitCode, 0);
        const QJsonObject document =
            QJsonDocument::fromJson(readFile(out + QStringLiteral("/ag_ptr_launcher-1.2.3.json")))
                .object();
        QCOMPARE(document.value(QStringLiteral("version")).toString(), QStringLiteral("1.2.3"));
        QCOMPARE(document.value(QStringLiteral("url")).toString(), packageUrl);
        for (const ZipEntry &entry : readZip(out + QStringLiteral("/ag_ptr_launcher-1.2.3.zip")))
            QVERIFY2(!entry.symlink, qPrintable(entry.name));

        // The player's older installation, its launcher still running.
        const QString installed = work.filePath(QStringLiteral("installed"));
        QDir(installed).removeRecursively();
        QVERIFY(copyFile(QStringLiteral(TEST_GAME_EXE), installed + QStringLiteral("/launcher")));
        QVERIFY(copyFile(QStringLiteral(UPDATER_EXE), installed + QStringLiteral("/updater")));
        QVERIFY(writeFile(installed + QStringLiteral("/platforms/libqxcb.so"), "old plugin"));
        QVERIFY(writeFile(installed + QStringLiteral("/player-notes.txt"), "mine"));
        QProcess oldLauncher;
        oldLauncher.start(installed + QStringLiteral("/launcher"), {QStringLiteral("--no-window")});
        QVERIFY(oldLauncher.waitForStarted(busyMachinePatienceMs));

        // Started as the launcher starts it: the updater beside it, from elsewhere.
        const QString shortcutFolder = work.filePath(QStringLiteral("desktop"));
        QVERIFY(QDir().mkpath(shortcutFolder));
        // Its output goes to a file, as a desktop's does: the launcher it starts
        // again inherits it and outlives it.
        const QString log = work.filePath(QStringLiteral("update.log"));
        QProcess update;
        update.setWorkingDirectory(shortcutFolder);
        update.setStandardOutputFile(log);
        update.setStandardErrorFile(log, QIODevice::Append);
        update.start(installed + QStringLiteral("/updater"),
                     {"--path", installed + QStringLiteral("/launcher"), "--url", packageUrl});
        QVERIFY(update.waitForFinished(busyMachinePatienceMs));
        QCOMPARE(update.exitCode(), 0);
        QVERIFY2(!readFile(log).contains("Update failed"), readFile(log).constData());
        QTRY_COMPARE_WITH_TIMEOUT(oldLauncher.state(), QProcess::NotRunning, busyMachinePatienceMs);
        QCOMPARE(oldLauncher.exitStatus(), QProcess::CrashExit);

        // The player gets the new launcher back, started by the updater.
        const QString image = installed + QStringLiteral("/launcher");
        qint64 restarted = 0;
        QTRY_VERIFY_WITH_TIMEOUT((restarted = restarted ? restarted : runningFrom(image)) != 0,
                                 busyMachinePatienceMs);
        if (runningFrom(image) == restarted)
            ::kill(static_cast<pid_t>(restarted), SIGKILL);

        QMap<QString, QByteArray> expected = treeOf(release);
        expected.insert(QStringLiteral("player-notes.txt"), "mine");
        QCOMPARE(treeOf(installed), expected);
        QVERIFY(QFileInfo(installed + QStringLiteral("/launcher")).isExecutable());
        QVERIFY(QFileInfo(installed + QStringLiteral("/updater")).isExecutable());
        QVERIFY(!QFileInfo(installed + QStringLiteral("/platforms/libqxcb.so")).isSymLink());
        QCOMPARE(treeOf(shortcutFolder), (QMap<QString, QByteArray>()));

        // The new programs are whole: the replaced updater runs and parses its command line.
        const ProgramRun replaced = runProgram(installed + QStringLiteral("/updater"), {});
        QCOMPARE(replaced.exitCode, 1);
        QVERIFY(replaced.output().contains(QLatin1String("Launcher path must be specified!")));
    }
};

QTEST_GUILESS_MAIN(TestUpdaterRelease)
#include "tst_updater_release.moc"
