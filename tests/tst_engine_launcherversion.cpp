#include "testenvironment.h"
#include "testhttpserver.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

Q_DECLARE_METATYPE(TestHttpServer::Fault)

namespace {

constexpr int wentOn = 3; // the probe's code for "the engine let it go on"

struct ProbeRun
{
    int exitCode = -1;
    QStringList lines;
};

} // namespace

class TestEngineLauncherVersion : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;
    std::unique_ptr<TestHttpServer> server;
    QTemporaryDir work;
    QString launcherDir; // a copy of the launcher's folder, with a stand-in updater

    QString argumentsFile() const { return launcherDir + QStringLiteral("/updater-arguments.txt"); }

    ProbeRun runProbe(const QStringList &arguments)
    {
        QProcess probe;
        probe.setProgram(launcherDir + QStringLiteral("/engineprobe"));
        probe.setArguments(arguments);
        probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        probe.start();
        ProbeRun run;
        if (!probe.waitForFinished(60000)) {
            probe.kill();
            probe.waitForFinished();
            return run;
        }
        if (probe.exitStatus() == QProcess::NormalExit)
            run.exitCode = probe.exitCode();
        run.lines = QString::fromUtf8(probe.readAllStandardOutput())
                        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return run;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(work.isValid());
        server = std::make_unique<TestHttpServer>(work.path() + QStringLiteral("/www"));
        QVERIFY(server->start());
        QVERIFY(QDir().mkpath(work.path() + QStringLiteral("/www")));

        launcherDir = work.path() + QStringLiteral("/Launcher Folder");
        QVERIFY(QDir().mkpath(launcherDir));
        QVERIFY(QFile::copy(QStringLiteral(ENGINE_PROBE_EXE),
                            launcherDir + QStringLiteral("/engineprobe")));
        const QString updater = launcherDir + QStringLiteral("/updater");
        QVERIFY(writeFile(updater,
                          "#!/bin/sh\n"
                          "out=\"$(dirname \"$0\")/updater-arguments.txt\"\n"
                          "printf '%s\\n' \"$@\" > \"$out.tmp\" && mv \"$out.tmp\" \"$out\"\n"));
        QVERIFY(QFile::setPermissions(updater, QFile::permissions(updater) | QFile::ExeOwner));
    }

    void init()
    {
        QFile::remove(argumentsFile());
        server->clearFaults();
        server->resetCounters();
    }

    void versionCheck_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("localVersion");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("output");
        QTest::addColumn<bool>("updaterStarted");

        const QByteArray doc =
            "{\"version\": \"1.2.0\", \"url\": \"https://cdn.example/launcher 1.2.0.zip\"}";
        const QString question =
            QStringLiteral("box question Launcher Update: Install new version now?");
        const QString cancelled =
            QStringLiteral("box critical Launcher Update: Update cancelled. Exiting now.");
        const QString noServer =
            QStringLiteral("box critical Launch Error: Unable to connect to the patching server.");

        QTest::newRow("same version") << doc << 0 << "1.2.0"
                                      << "" << wentOn << QStringList{"complete true"} << false;
        QTest::newRow("development build") << doc << 0 << "dev"
                                           << "" << wentOn << QStringList{"complete true"} << false;
        QTest::newRow("newer, accepted")
            << doc << 0 << "1.1.9"
            << "yes" << 0 << QStringList{"complete false", question} << true;
        QTest::newRow("older, accepted")
            << QByteArray("{\"version\": \"0.0.0\", \"url\": \"https://cdn.example/l.zip\"}") << 0
            << "0.0.1"
            << "yes" << 0 << QStringList{"complete false", question} << true;
        QTest::newRow("trailing space, declined")
            << QByteArray(R"({"version": "1.2.0 ", "url": "u"})") << 0 << "1.2.0"
            << "no" << 0 << QStringList{"complete false", question, cancelled} << false;
        QTest::newRow("other case, dialog closed")
            << QByteArray(R"({"version": "1.2.0-RC", "url": "u"})") << 0 << "1.2.0-rc"
            << "" << 0 << QStringList{"complete false", question, cancelled} << false;
        QTest::newRow("not json") << QByteArray("<html>busy</html>") << 0 << "1.2.0"
                                  << "" << wentOn << QStringList{"complete true"} << false;
        QTest::newRow("no version") << QByteArray(R"({"url": "u"})") << 0 << "1.2.0"
                                    << "" << wentOn << QStringList{"complete true"} << false;
        QTest::newRow("version not text")
            << QByteArray(R"({"version": 2, "url": "u"})") << 0 << "1.2.0"
            << "" << wentOn << QStringList{"complete true"} << false;
        QTest::newRow("not found") << doc << 404 << "1.2.0"
                                   << "" << 0 << QStringList{"complete false", noServer} << false;
    }

    void versionCheck()
    {
        QFETCH(QByteArray, document);
        QFETCH(int, status);
        QFETCH(QString, localVersion);
        QFETCH(QString, answer);
        QFETCH(int, exitCode);
        QFETCH(QStringList, output);
        QFETCH(bool, updaterStarted);

        QVERIFY(writeFile(work.path() + QStringLiteral("/www/launcher.json"), document));
        if (status) {
            TestHttpServer::Fault fault;
            fault.status = status;
            server->setFault(QStringLiteral("/launcher.json"), fault);
        }
        QStringList arguments{QStringLiteral("--version-url"),
                              server->baseUrl() + QStringLiteral("/launcher.json"),
                              QStringLiteral("--local-version"), localVersion};
        if (!answer.isEmpty())
            arguments << QStringLiteral("--answer") << answer;

        const ProbeRun run = runProbe(arguments);
        QCOMPARE(run.lines, output);
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(server->requestCount(QStringLiteral("/launcher.json")),
                 localVersion == QLatin1String("dev") ? 0 : 1);
        if (localVersion != QLatin1String("dev"))
            QCOMPARE(server->lastHeader(QStringLiteral("/launcher.json"), "User-Agent"),
                     QByteArray("Ashgrove PTR Launcher"));

        if (updaterStarted) {
            const QJsonObject published = QJsonDocument::fromJson(document).object();
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(argumentsFile()), 20000);
            const QStringList expected{
                QStringLiteral("--path"), launcherDir + QStringLiteral("/engineprobe"),
                QStringLiteral("--url"), published.value(QLatin1String("url")).toString()};
            QCOMPARE(QString::fromUtf8(readFile(argumentsFile()))
                         .split(QLatin1Char('\n'), Qt::SkipEmptyParts),
                     expected);
        } else {
            QVERIFY(!QFile::exists(argumentsFile()));
        }
    }

    void failedRequest_data()
    {
        QTest::addColumn<TestHttpServer::Fault>("fault");
        TestHttpServer::Fault silent;
        silent.stallBeforeHeaders = true;
        QTest::newRow("no answer") << silent;
        TestHttpServer::Fault endless;
        endless.endless = true;
        QTest::newRow("endless body") << endless;
        TestHttpServer::Fault cut;
        cut.cutAfterBytes = 5;
        QTest::newRow("cut short") << cut;
    }

    // Whatever goes wrong, the launcher neither hangs nor goes on without a check.
    void failedRequest()
    {
        QFETCH(TestHttpServer::Fault, fault);
        QVERIFY(writeFile(work.path() + QStringLiteral("/www/launcher.json"),
                          R"({"version": "1.2.0", "url": "u"})"));
        server->setFault(QStringLiteral("/launcher.json"), fault);
        const ProbeRun run = runProbe({QStringLiteral("--version-url"),
                                       server->baseUrl() + QStringLiteral("/launcher.json"),
                                       QStringLiteral("--local-version"), QStringLiteral("1.0.0"),
                                       QStringLiteral("--stall-timeout"), QStringLiteral("500")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.lines,
                 (QStringList{QStringLiteral("complete false"),
                              QStringLiteral("box critical Launch Error: Unable to connect "
                                             "to the patching server.")}));
    }

    // Once the launcher check went out, a failed game check ends the program.
    void failedManifestAfterLauncherCheck()
    {
        QVERIFY(writeFile(work.path() + QStringLiteral("/www/launcher.json"),
                          R"({"version": "1.2.0", "url": "u"})"));
        const ProbeRun run = runProbe(
            {QStringLiteral("--version-url"), server->baseUrl() + QStringLiteral("/launcher.json"),
             QStringLiteral("--local-version"), QStringLiteral("1.2.0"),
             QStringLiteral("--then-check"), server->baseUrl() + QStringLiteral("/missing")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.lines,
                 (QStringList{QStringLiteral("complete true"), QStringLiteral("complete false"),
                              QStringLiteral("box critical Launch Error: Unable to connect "
                                             "to the patching server.")}));
        QCOMPARE(server->requestCount(QStringLiteral("/missing/checksums.txt.gz")), 1);
    }
};

QTEST_GUILESS_MAIN(TestEngineLauncherVersion)
#include "tst_engine_launcherversion.moc"
