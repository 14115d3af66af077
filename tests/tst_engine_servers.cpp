#include "apacheserver.h"
#include "enginefixture.h"
#include "launcherrequest.h"
#include "nginxserver.h"
#include "updater.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QTest>

#include <memory>

using FileMap = QMap<QString, QByteArray>;

namespace {

QByteArray patterned(qint64 size, char seed)
{
    QByteArray content(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        content[i] = char(seed + (i * 7) % 251);
    return content;
}

// A small game as studios publish it: nested folders, spaces and non-ASCII
// names, empty files, and one large file that compresses extremely well.
FileMap publishedGame()
{
    FileMap files{{QStringLiteral("/.initcomplete"), QByteArray()},
                  {QStringLiteral("/game.exe"), patterned(700000, 'g')},
                  {QStringLiteral("/patch/big.pak"), QByteArray(12 * 1024 * 1024, '\0')},
                  {QStringLiteral("/data/level 1.pak"), patterned(90000, 'l')},
                  {QStringLiteral("/data/empty.txt"), QByteArray()},
                  {QString::fromUtf8("/data/s\u00e4ve/\u00e9t\u00e9 #2.cfg"), "hot=1\n"},
                  {QStringLiteral("/data/a+b&c=d%20e.txt"), "reserved"}};
    for (int i = 0; i < 24; ++i)
        files.insert(QStringLiteral("/maps/map %1.dat").arg(i),
                     patterned(1000 + i * 3001, char(i)));
    return files;
}

} // namespace

class TestEngineServers : public QObject
{
    Q_OBJECT

private:
    EngineFixture fixture;
    std::unique_ptr<Updater> updater;
    std::unique_ptr<SignalLog> log;
    int savedMaxConcurrent = maxConcurrentDownloads;
    QList<bool> http2Used; // per finished file reply

    bool runEnded() const
    {
        // A failed run ends on "install" when nothing was installed before it.
        return log->count(QStringLiteral("updateComplete()")) > 0 ||
               log->events.contains(QStringLiteral("stateChanged(update)")) ||
               log->events.contains(QStringLiteral("stateChanged(install)"));
    }

    // Checks the game published in the fixture's patch folder, then installs it.
    void install()
    {
        checkNow(fixture, *updater);
        QTRY_VERIFY_WITH_TIMEOUT(log->hasClosingSignal() ||
                                     !log->named(QStringLiteral("downloadError")).isEmpty(),
                                 60000);
        QCOMPARE(log->named(QStringLiteral("downloadError")), QStringList());
        fixture.server->resetCounters();
        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 120000);
    }

private slots:
    void init()
    {
        QVERIFY(fixture.setUp());
        maxConcurrentDownloads = 4;
        updater = std::make_unique<Updater>();
        log = std::make_unique<SignalLog>(updater.get());
        http2Used.clear();
        connect(&updater->network(), &QNetworkAccessManager::finished, this,
                [this](QNetworkReply *reply) {
                    http2Used << reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool();
                });
    }

    void cleanup()
    {
        log.reset();
        updater.reset();
        maxConcurrentDownloads = savedMaxConcurrent;
        fixture.tearDown();
    }

    // Byte for byte from the servers studios use: nginx with TLS and HTTP/2,
    // nginx compressing whatever it may, Apache as installed (it refuses "%2F"),
    // and a redirect to another port.
    void installsFromRealServers_data()
    {
        QTest::addColumn<QString>("server");
        QTest::newRow("nginx, TLS + HTTP/2") << "nginx-h2";
        QTest::newRow("nginx, gzip on") << "nginx-gzip";
        QTest::newRow("Apache, default configuration") << "apache";
        QTest::newRow("302 to another port") << "redirect";
    }

    void installsFromRealServers()
    {
        QFETCH(QString, server);
        const FileMap files = publishedGame();
        QVERIFY(fixture.publish(files));
        const QString www = fixture.workDir() + QStringLiteral("/www");

        NginxServer nginx(www);
        ApacheServer apache(www);
        NginxServer::Options options;
        if (server == QLatin1String("nginx-h2")) {
            options.tls = options.http2 = true;
        } else if (server == QLatin1String("nginx-gzip")) {
            options.gzip = true;
        } else if (server == QLatin1String("redirect")) {
            options.redirectTo = fixture.server->baseUrl();
        }
        if (server == QLatin1String("apache")) {
            QVERIFY2(apache.start(), qPrintable(apache.error()));
            fixture.settings->updateUrl = apache.baseUrl() + QStringLiteral("/patch");
        } else {
            QVERIFY2(nginx.start(options), qPrintable(nginx.error()));
            fixture.settings->updateUrl = nginx.baseUrl() + QStringLiteral("/patch");
            if (options.tls)
                trustAdditionalAuthorities(nginx.caCertificates());
        }

        install();
        QCOMPARE(log->named(QStringLiteral("downloadError")), QStringList());
        QCOMPARE(log->events.last(), QStringLiteral("updateComplete()"));
        for (auto it = files.constBegin(); it != files.constEnd(); ++it)
            QVERIFY2(readFile(fixture.installDir() + it.key()) == it.value(), qPrintable(it.key()));

        if (options.http2) {
            QVERIFY(!http2Used.isEmpty());
            QVERIFY(!http2Used.contains(false));
        }
        if (!options.redirectTo.isEmpty()) {
            // Each file was fetched once behind the redirect; empty ones not at all.
            for (auto it = files.constBegin(); it != files.constEnd(); ++it)
                QCOMPARE(fixture.server->requestCount(QStringLiteral("/patch") + it.key()),
                         it.value().isEmpty() ? 0 : 1);
        }
    }

    // Empty answers over HTTP/2 (nginx's 200 with no body) end as any other:
    // an empty manifest is refused, not a hang or a network failure.
    void emptyManifestOverHttp2()
    {
        QVERIFY(fixture.publishManifestBody(QByteArray()));
        NginxServer nginx(fixture.workDir() + QStringLiteral("/www"));
        NginxServer::Options options;
        options.tls = options.http2 = true;
        QVERIFY2(nginx.start(options), qPrintable(nginx.error()));
        trustAdditionalAuthorities(nginx.caCertificates());
        fixture.settings->updateUrl = nginx.baseUrl() + QStringLiteral("/patch");
        checkNow(fixture, *updater);
        QTRY_VERIFY_WITH_TIMEOUT(!log->named(QStringLiteral("downloadError")).isEmpty(), 60000);
        QCOMPARE(log->events.last(),
                 QStringLiteral("downloadError(%1)").arg(Updater::invalidManifestMessage()));
        QCOMPARE(http2Used, QList<bool>{true});
    }

    // A server that goes silent behind a redirect still ends the run within the limit.
    void stallBehindRedirect_data()
    {
        QTest::addColumn<bool>("afterHeaders");
        QTest::newRow("before headers") << false;
        QTest::newRow("mid-body") << true;
    }

    void stallBehindRedirect()
    {
        QFETCH(bool, afterHeaders);
        const FileMap files{{QStringLiteral("/a.pak"), patterned(400000, 'a')},
                            {QStringLiteral("/b.pak"), patterned(300000, 'b')}};
        QVERIFY(fixture.publish(files));
        NginxServer redirector(fixture.workDir());
        NginxServer::Options options;
        options.redirectTo = fixture.server->baseUrl();
        QVERIFY2(redirector.start(options), qPrintable(redirector.error()));
        fixture.settings->updateUrl = redirector.baseUrl() + QStringLiteral("/patch");
        updater->setStallTimeout(1000);
        TestHttpServer::Fault silent;
        if (afterHeaders)
            silent.stallAfterBytes = 5000;
        else
            silent.stallBeforeHeaders = true;
        fixture.server->setFault(QStringLiteral("/patch/a.pak"), silent);

        install();
        QCOMPARE(
            log->named(QStringLiteral("downloadError")),
            QStringList{QStringLiteral("downloadError(%1)").arg(Updater::stalledServerMessage())});
        QCOMPARE(log->count(QStringLiteral("updateComplete()")), 0);
        QVERIFY(!updater->updating());
    }
};

ENGINE_TEST_MAIN(TestEngineServers)
#include "tst_engine_servers.moc"
