#include "patience.h"
#include "pkexecstandin.h"
#include "programrun.h"
#include "testenvironment.h"
#include "testhttpserver.h"
#include "unprivileged.h"
#include "ziparchive.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// The .deb a player installs, unpacked into a temporary root the way dpkg
// would lay it out, and the programs in it run from there.
class TestPackage : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;
    QTemporaryDir work;
    QString root;
    QString appDir;
    QString launcher;
    QString updater;

    QString fieldOf(const QString &field) const
    {
        return runProgram(QStringLiteral("dpkg-deb"), {"-f", PACKAGE_DEB, field}).out.trimmed();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(work.isValid());
        QVERIFY2(QFileInfo::exists(PACKAGE_DEB), PACKAGE_DEB);
        root = work.filePath(QStringLiteral("root"));
        const ProgramRun unpack = runProgram(QStringLiteral("dpkg-deb"), {"-x", PACKAGE_DEB, root});
        QVERIFY2(unpack.exitCode == 0, qPrintable(unpack.output()));
        appDir = root + QStringLiteral("/" PACKAGE_APP_DIR);
        launcher = appDir + QStringLiteral("/launcher");
        updater = appDir + QStringLiteral("/updater");
    }

    void programsSideBySide()
    {
        QVERIFY(QFileInfo(launcher).isExecutable());
        QVERIFY(QFileInfo(updater).isExecutable());
        // The package's folder is not the player's: the updater has to ask for rights.
        QVERIFY(!(QFile::permissions(appDir) & (QFile::WriteGroup | QFile::WriteOther)));
    }

    void desktopEntryStartsTheInstalledLauncher()
    {
        const QDir applications(root + QStringLiteral("/usr/share/applications"));
        const QStringList entries = applications.entryList({QStringLiteral("*.desktop")});
        QCOMPARE(entries.size(), 1);
        QSettings entry(applications.filePath(entries.first()), QSettings::IniFormat);
        entry.beginGroup(QStringLiteral("Desktop Entry"));
        QCOMPARE(entry.value(QStringLiteral("Type")).toString(), QStringLiteral("Application"));
        QString exec = entry.value(QStringLiteral("Exec")).toString();
        exec.remove(QLatin1Char('"'));
        QCOMPARE(exec, QStringLiteral("/" PACKAGE_APP_DIR "/launcher"));
        const QString icon = entry.value(QStringLiteral("Icon")).toString();
        QVERIFY(QFileInfo::exists(root + QStringLiteral("/usr/share/icons/hicolor/256x256/apps/") +
                                  icon + QStringLiteral(".png")));
    }

    // The archive installs the same tree with "tar -xzf ... -C /".
    void archiveHoldsTheSameTree()
    {
        const auto names = [](const QString &program, const QStringList &arguments) {
            QStringList listed = runProgram(program, arguments).out.split(QLatin1Char('\n'));
            QStringList files;
            for (QString name : listed) {
                if (program == QLatin1String("dpkg-deb"))
                    name = name.section(QLatin1Char(' '), -1);
                if (name.startsWith(QLatin1String("./")))
                    name.remove(0, 2);
                if (!name.isEmpty() && !name.endsWith(QLatin1Char('/')))
                    files << name;
            }
            files.sort();
            return files;
        };
        const QStringList inDeb = names(QStringLiteral("dpkg-deb"), {"-c", PACKAGE_DEB});
        QVERIFY(inDeb.contains(QStringLiteral(PACKAGE_APP_DIR "/launcher")));
        QCOMPARE(names(QStringLiteral("tar"), {"-tzf", PACKAGE_TGZ}), inDeb);
    }

    void declaresWhatItNeeds_data()
    {
        QTest::addColumn<QString>("package");
        // Found by dpkg-shlibdeps from what the programs link.
        QTest::newRow("C library") << "libc6";
        QTest::newRow("Qt widgets") << "libqt6widgets6";
        QTest::newRow("Qt multimedia, with its GStreamer plugin") << "libqt6multimedia6";
        QTest::newRow("QuaZip") << "libquazip1-qt6-1";
        // Loaded at run time.
        QTest::newRow("platform plugins") << "qt6-qpa-plugins";
        QTest::newRow("clip demuxer and decoder") << "gstreamer1.0-plugins-good";
        QTest::newRow("elevation") << "pkexec | policykit-1";
    }

    void declaresWhatItNeeds()
    {
        QFETCH(QString, package);
        const QStringList depends = fieldOf(QStringLiteral("Depends")).split(QStringLiteral(", "));
        bool found = false;
        for (const QString &dependency : depends)
            found = found || dependency == package || dependency.startsWith(package + " (");
        QVERIFY2(found, qPrintable(depends.join(QStringLiteral(", "))));
    }

    void installedLauncherMovesFiles()
    {
        const QString source = work.filePath(QStringLiteral("staged"));
        const QString dest = work.filePath(QStringLiteral("game"));
        QVERIFY(writeFile(source + QStringLiteral("/data/a.pak"), "new"));
        QVERIFY(writeFile(dest + QStringLiteral("/data/a.pak"), "old"));
        const ProgramRun run = runProgram(launcher, {"--source", source, "--dest", dest});
        QVERIFY2(run.exitCode == 0, qPrintable(run.output()));
        QCOMPARE(readFile(dest + QStringLiteral("/data/a.pak")), QByteArray("new"));
        QVERIFY(!QFileInfo::exists(source + QStringLiteral("/data/a.pak")));
    }

    void installedUpdaterHelps()
    {
        const ProgramRun run = runProgram(updater, {"--help"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains(QLatin1String("--path")) &&
                     run.out.contains(QLatin1String("--url")),
                 qPrintable(run.output()));
    }

    // A player cannot write the installed folder, so the updater restarts itself
    // through pkexec; what that restart runs must then replace the launcher.
    void updaterReplacesInstalledLauncherThroughElevation()
    {
        const QString served = work.filePath(QStringLiteral("served"));
        QVERIFY(QDir().mkpath(served));
        QVERIFY(writeZip(served + QStringLiteral("/launcher.zip"),
                         {{"launcher", "new launcher"}, {"bin/tool.dat", "tool"}}));
        TestHttpServer server(served);
        QVERIFY(server.start());
        const QString packageUrl = server.url(QStringLiteral("/launcher.zip")).toString();
        const QString playerHome = work.filePath(QStringLiteral("player home"));
        QVERIFY(QDir().mkpath(playerHome));
        setFolderWritableByOthers(playerHome, true);
        openPathForOthers(appDir);

        PkexecStandIn pkexec(PkexecStandIn::Mode::Record);
        QProcess asPlayer;
        asPlayer.setWorkingDirectory(playerHome);
        runAsUnprivileged(asPlayer, updater, {"--path", launcher, "--url", packageUrl}, playerHome);
        asPlayer.start();
        QVERIFY(asPlayer.waitForFinished(60000));
        QCOMPARE(asPlayer.exitCode(), 0);
        // The restart is detached: the updater can be gone before it is recorded.
        QTRY_COMPARE_WITH_TIMEOUT(pkexec.calls().size(), 1, busyMachinePatienceMs);
        const auto calls = pkexec.calls();
        const QStringList expected{updater, "-p", launcher, "-u", packageUrl, "-e"};
        QVERIFY2(calls[0].mid(calls[0].size() - expected.size()) == expected,
                 qPrintable(calls[0].join(' ')));
        QVERIFY(readFile(launcher) != QByteArray("new launcher"));

        QProcess elevated;
        elevated.setWorkingDirectory(playerHome);
        elevated.start(calls[0].first(), calls[0].mid(1));
        // Done, it waits for the player to close its window (and starts no launcher).
        QTRY_VERIFY_WITH_TIMEOUT(
            readFile(appDir + QStringLiteral("/bin/tool.dat")) == "tool" &&
                !QFileInfo::exists(appDir + QStringLiteral("/.launcher-update")),
            busyMachinePatienceMs);
        QCOMPARE(elevated.state(), QProcess::Running);
        elevated.kill();
        elevated.waitForFinished();
        QCOMPARE(readFile(launcher), QByteArray("new launcher"));
        QVERIFY(QFileInfo::exists(updater));
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
