#include "enginefixture.h"
#include "manifestcodec.h"
#include "platform/platform.h"
#include "updater.h"

#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <memory>

Q_DECLARE_METATYPE(TestHttpServer::Fault)

class TestEngineCheck : public QObject
{
    Q_OBJECT

private:
    EngineFixture fixture;
    std::unique_ptr<Updater> updater;
    std::unique_ptr<SignalLog> log;

    // A refused manifest leaves nothing to fetch: a press finds nothing to do.
    void expectNothingToFetch()
    {
        log->events.clear();
        updater->startUpdate();
        QCOMPARE(log->events, QStringList{QStringLiteral("noUpdateAvailable()")});
    }

private slots:
    void init()
    {
        QVERIFY(fixture.setUp());
        updater = std::make_unique<Updater>();
        log = std::make_unique<SignalLog>(updater.get());
    }

    void cleanup()
    {
        log.reset();
        updater.reset();
        fixture.tearDown();
    }

    void checkSendsManifestRequest()
    {
        QVERIFY(fixture.publish({{QStringLiteral("/a.pak"), "alpha"}}));
        QVERIFY(fixture.install(QStringLiteral("/a.pak"), "alpha"));

        checkNow(fixture, *updater);
        QCOMPARE(log->events, QStringList{QStringLiteral("checkingForUpdates()")});
        QVERIFY(!fixture.settings->lastUpdateCheck.isEmpty());
        QTRY_VERIFY(log->hasClosingSignal());

        QCOMPARE(fixture.server->requestedPaths(), QList<QString>{fixture.manifestPath()});
        QCOMPARE(fixture.server->lastHeader(fixture.manifestPath(), "User-Agent"),
                 QByteArray("Ashgrove PTR Launcher"));
        QCOMPARE(log->events.last(), QStringLiteral("noUpdateAvailable()"));
    }

    void onceASecond_data()
    {
        QTest::addColumn<QString>("lastCheck");
        QTest::addColumn<bool>("sent");

        const QDateTime now = QDateTime::currentDateTime();
        QTest::newRow("still to come") << now.addSecs(30).toString(Qt::ISODate) << false;
        QTest::newRow("two seconds ago") << now.addSecs(-2).toString(Qt::ISODate) << true;
        QTest::newRow("never") << QString() << true;
        QTest::newRow("not a time") << QStringLiteral("yesterday") << true;
    }

    void onceASecond()
    {
        QFETCH(QString, lastCheck);
        QFETCH(bool, sent);
        QVERIFY(fixture.publish({{QStringLiteral("/a.pak"), "alpha"}}));

        fixture.settings->lastUpdateCheck = lastCheck;
        updater->checkForUpdates();
        QCOMPARE(log->count(QStringLiteral("checkingForUpdates()")), sent ? 1 : 0);
        QCOMPARE(fixture.settings->lastUpdateCheck != lastCheck, sent);
        if (sent)
            QTRY_VERIFY(log->hasClosingSignal());

        // A check that does go out afterwards shows how many requests were made in all.
        log->events.clear();
        checkNow(fixture, *updater);
        QTRY_VERIFY(log->hasClosingSignal());
        QCOMPARE(fixture.server->requestCount(fixture.manifestPath()), sent ? 2 : 1);
    }

    // The window asks again right after files were moved in: that check waits
    // for the second to pass instead of being dropped.
    void checkWithinTheSecondRunsLater()
    {
        QVERIFY(fixture.publish({{QStringLiteral("/a.pak"), "alpha"}}));
        checkNow(fixture, *updater);
        QTRY_VERIFY(log->hasClosingSignal());
        log->events.clear();

        // Stamped ahead, the last check holds the next back for a whole second
        // however long the first check took on a busy machine.
        fixture.settings->lastUpdateCheck =
            QDateTime::currentDateTime().addSecs(30).toString(Qt::ISODate);
        updater->checkForUpdates();
        updater->checkForUpdates();
        QCOMPARE(log->events, QStringList());
        QTRY_VERIFY(log->hasClosingSignal());
        QCOMPARE(log->count(QStringLiteral("checkingForUpdates()")), 1);
        QCOMPARE(fixture.server->requestCount(fixture.manifestPath()), 2);
    }

    void failedRequestBeforeLauncherCheck_data()
    {
        QTest::addColumn<TestHttpServer::Fault>("fault");
        QTest::addColumn<QString>("message");

        TestHttpServer::Fault missing;
        missing.status = 404;
        QTest::newRow("not found") << missing << QStringLiteral("Network error occurred");
        TestHttpServer::Fault broken;
        broken.status = 500;
        QTest::newRow("server error") << broken << QStringLiteral("Network error occurred");
        TestHttpServer::Fault silent;
        silent.stallBeforeHeaders = true;
        QTest::newRow("no answer") << silent << Updater::stalledServerMessage();
        TestHttpServer::Fault stopped;
        stopped.stallAfterBytes = 3;
        QTest::newRow("stops mid-body") << stopped << Updater::stalledServerMessage();
    }

    void failedRequestBeforeLauncherCheck()
    {
        QFETCH(TestHttpServer::Fault, fault);
        QFETCH(QString, message);
        QVERIFY(fixture.publish({{QStringLiteral("/a.pak"), "alpha"}}));
        fixture.server->setFault(fixture.manifestPath(), fault);
        updater->setStallTimeout(300);

        checkNow(fixture, *updater);
        QTRY_VERIFY(!log->named(QStringLiteral("downloadError")).isEmpty());
        const QStringList expected{QStringLiteral("checkingForUpdates()"),
                                   QStringLiteral("stateChanged(update)"),
                                   QStringLiteral("downloadError(%1)").arg(message)};
        QCOMPARE(log->events, expected);
    }

    void unreachableServer()
    {
        fixture.settings->updateUrl = QStringLiteral("http://127.0.0.1:1/patch");
        checkNow(fixture, *updater);
        QTRY_VERIFY(!log->named(QStringLiteral("downloadError")).isEmpty());
        QCOMPARE(log->events.last(), QStringLiteral("downloadError(Network error occurred)"));
    }

    void invalidManifest_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("endless");

        const QByteArray json =
            QJsonDocument(QJsonObject{{QStringLiteral("files"),
                                       QJsonObject{{QStringLiteral("/a.pak"),
                                                    EngineFixture::entryFor("alpha")}}}})
                .toJson();
        const QByteArray gzipped = QByteArray::fromHex("1f8b0800000000000003") + json;
        QTest::newRow("empty body") << QByteArray() << false;
        QTest::newRow("gzip header") << gzipped << false;
        QTest::newRow("plain json") << json << false;
        QTest::newRow("corrupt stream") << qCompress(json).left(20) << false;
        QTest::newRow("not json") << qCompress("files: none") << false;

        QTest::newRow("no files member") << qCompress(R"({"binary": {}})") << false;
        QTest::newRow("files not an object") << qCompress(R"({"files": [1]})") << false;
        QTest::newRow("parent segment")
            << encodeManifest({{QStringLiteral("/../evil.dll"), EngineFixture::entryFor("x")}})
            << false;

        QTest::newRow("one file twice")
            << encodeManifest({{QStringLiteral("/a.pak"), EngineFixture::entryFor("alpha")},
                               {QStringLiteral("a.pak"), EngineFixture::entryFor("alpha")}})
            << false;
        QTest::newRow("a file and its folder")
            << encodeManifest({{QStringLiteral("/a.pak"), EngineFixture::entryFor("alpha")},
                               {QStringLiteral("/a.pak/b"), EngineFixture::entryFor("b")}})
            << false;

        QByteArray bomb = qCompress(json);
        bomb[0] = '\x40'; // announces 1 GiB
        QTest::newRow("announces too much") << bomb << false;
        QTest::newRow("endless body") << QByteArray() << true;
    }

    void invalidManifest()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, endless);
        QVERIFY(fixture.publishManifestBody(body));
        if (endless) {
            TestHttpServer::Fault fault;
            fault.endless = true;
            fixture.server->setFault(fixture.manifestPath(), fault);
        }
        QVERIFY(fixture.install(QStringLiteral("/a.pak"), "alpha"));

        checkNow(fixture, *updater);
        QTRY_VERIFY_WITH_TIMEOUT(!log->named(QStringLiteral("downloadError")).isEmpty(), 20000);
        const QStringList expected{
            QStringLiteral("checkingForUpdates()"), QStringLiteral("stateChanged(update)"),
            QStringLiteral("downloadError(%1)").arg(Updater::invalidManifestMessage())};
        QCOMPARE(log->events, expected);
        expectNothingToFetch();
    }

    void invalidManifestClearsEarlierTable()
    {
        QVERIFY(fixture.publish({{QStringLiteral("/a.pak"), "alpha"}}));
        checkNow(fixture, *updater);
        QTRY_VERIFY(log->hasClosingSignal());
        QCOMPARE(log->events.last(), QStringLiteral("updateAvailable(install)"));

        QVERIFY(fixture.publishManifestBody("garbage"));
        checkNow(fixture, *updater);
        QTRY_VERIFY(!log->named(QStringLiteral("downloadError")).isEmpty());
        expectNothingToFetch();
    }

    // Keys the server spells oddly name the files they mean, fetched from where they are.
    void oddKeys()
    {
        QVERIFY(fixture.publishManifestBody(
            encodeManifest({{QStringLiteral("readme.txt"), EngineFixture::entryFor("r")},
                            {QStringLiteral("sub//./b.pak"), EngineFixture::entryFor("b")}})));
        checkNow(fixture, *updater);
        QTRY_VERIFY(log->hasClosingSignal());
        const QList<QString> keys{QStringLiteral("/readme.txt"), QStringLiteral("/sub/b.pak")};
        QCOMPARE(Updater::fileUrl(keys.last()).toString(QUrl::FullyEncoded),
                 fixture.server->baseUrl() + QStringLiteral("/patch/sub/b.pak"));
        QVERIFY(writeFile(fixture.patchDir() + keys.first(), "r"));
        QVERIFY(writeFile(fixture.patchDir() + keys.last(), "b"));
        updater->startUpdate();
        QTRY_VERIFY2_WITH_TIMEOUT(log->events.contains(QStringLiteral("updateComplete()")),
                                  qPrintable(log->events.join(QLatin1Char(' '))), 30000);
        for (const QString &key : keys)
            QCOMPARE(fixture.server->requestCount(QStringLiteral("/patch") + key), 1);
        QCOMPARE(readFile(fixture.installDir() + keys.last()), QByteArray("b"));
    }

    void addressesAndStagingPaths_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("staged");

        QTest::newRow("nested with space") << "/bin/data 1.pak"
                                           << "/patch/bin/data%201.pak"
                                           << "bin/data 1.pak";
        QTest::newRow("reserved characters") << "/a?b#c%d+e&f;g=h.pak"
                                             << "/patch/a%3Fb%23c%25d%2Be%26f%3Bg%3Dh.pak"
                                             << "a?b#c%d+e&f;g=h.pak";
        QTest::newRow("non-ASCII") << QString::fromUtf8("/d\u00e9j\u00e0 vu/\u00fc.pak")
                                   << "/patch/d%C3%A9j%C3%A0%20vu/%C3%BC.pak"
                                   << QString::fromUtf8("d\u00e9j\u00e0 vu/\u00fc.pak");
        QTest::newRow("no leading slash") << "readme.txt"
                                          << "/patchreadme.txt"
                                          << "readme.txt";
    }

    void addressesAndStagingPaths()
    {
        QFETCH(QString, key);
        QFETCH(QString, address);
        QFETCH(QString, staged);
        QCOMPARE(Updater::fileUrl(key).toString(QUrl::FullyEncoded),
                 fixture.server->baseUrl() + address);
        QCOMPARE(Updater::stagingPath(key),
                 QDir::toNativeSeparators(Updater::stagingDirectory() + QLatin1Char('/') + staged));
    }

    void stagingDirectoryNamedAfterProduct()
    {
        fixture.settings->companyName = QStringLiteral("North/South");
        fixture.settings->applicationName = QStringLiteral("Game/PTR");
        const QString base =
            platform::hostOs() == platform::Os::Windows
                ? fixture.tempDir() + QStringLiteral("/North_South/Game_PTR")
                : QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
                      QStringLiteral("/North_South/Game_PTR/engine/staging");
        QCOMPARE(Updater::stagingDirectory(), QDir::toNativeSeparators(base));
        QVERIFY(base.startsWith(fixture.workDir()));
    }

    void isInstalled_data()
    {
        QTest::addColumn<bool>("folderExists");
        QTest::addColumn<bool>("marker");
        QTest::addColumn<bool>("installed");

        QTest::newRow("marker present") << true << true << true;
        QTest::newRow("folder without marker") << true << false << false;
        QTest::newRow("no folder") << false << false << false;
    }

    void isInstalled()
    {
        QFETCH(bool, folderExists);
        QFETCH(bool, marker);
        QFETCH(bool, installed);
        QVERIFY(fixture.install(QStringLiteral("/game.exe"), "binary"));
        if (marker)
            QVERIFY(fixture.install(QStringLiteral("/.initcomplete"), QByteArray()));
        if (!folderExists)
            QVERIFY(QDir(fixture.installDir()).removeRecursively());
        QCOMPARE(updater->isInstalled(), installed);
    }
};

ENGINE_TEST_MAIN(TestEngineCheck)
#include "tst_engine_check.moc"
