#include "apacheserver.h"
#include "enginefixture.h"
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
    const QByteArray savedCertDir = qgetenv("SSL_CERT_DIR");
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
        qunsetenv("SSL_CERT_FILE");
        qputenv("SSL_CERT_DIR", savedCertDir);
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
        // The system's own store, which is not read again, beside the authority named.
        QTest::newRow("nginx, TLS + HTTP/2, system store named") << "nginx-h2-system";
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
        if (server.startsWith(QLatin1String("nginx-h2"))) {
            options.tls = options.http2 = true;
            qputenv("SSL_CERT_DIR",
                    server.endsWith(QLatin1String("system")) ? "/etc/ssl/certs" : "");
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
            // Trusted as curl is told to, for the manifest and the files alike.
            if (options.tls)
                qputenv("SSL_CERT_FILE", QFile::encodeName(nginx.caPath()));
        }

        install();
        QCOMPARE(log->named(QStringLiteral("downloadError")), QStringList());
        QCOMPARE(log->events.last(), QStringLiteral("updateComplete()"));
        for (auto it = files.constBegin(); it != files.constEnd(); ++it)
            QVERIFY2(readFile(fixture.installDir() + it.key()) == it.value(), qPrintable(it.key()));

        // The files over one connection per slot (HTTP/2: one in all), kept alive.
        const DownloadRun::Statistics wire = updater->downloadStatistics();
        QCOMPARE(wire.requests, int(files.size()) - 2); // the two empty files are not asked for
        const int hops = options.redirectTo.isEmpty() ? 1 : 2;
        QVERIFY2(wire.connections <= (options.http2 ? 1 : maxConcurrentDownloads * hops),
                 qPrintable(QString::number(wire.connections)));
        if (options.http2) {
            QVERIFY(!http2Used.isEmpty());
            QVERIFY(!http2Used.contains(false));
            QCOMPARE(wire.http2, wire.requests);
        }
        if (!options.redirectTo.isEmpty()) {
            // Each file was fetched once behind the redirect; empty ones not at all.
            for (auto it = files.constBegin(); it != files.constEnd(); ++it)
                QCOMPARE(fixture.server->requestCount(QStringLiteral("/patch") + it.key()),
                         it.value().isEmpty() ? 0 : 1);
        }
    }

    // What the player reads when a file cannot be had: the texts Qt 6.4's
    // replies gave for the same situations.
    void failureTexts_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("text"); // %1: the file's address
        QTest::newRow("404") << "404"
                             << "Error transferring %1 - server replied: Not Found";
        QTest::newRow("503") << "503"
                             << "Error transferring %1 - server replied: Service Unavailable";
        QTest::newRow("401") << "401"
                             << "Host requires authentication";
        QTest::newRow("404 over HTTP/2") << "h2"
                                         << "Error transferring %1 - server replied: ";
        QTest::newRow("refused") << "refused"
                                 << "Connection refused";
        QTest::newRow("unknown host") << "unknown"
                                      << "Host no-such-host.invalid not found";
        QTest::newRow("cut short") << "cut"
                                   << "Connection closed";
        QTest::newRow("stops sending") << "stall" << Updater::stalledServerMessage();
        QTest::newRow("untrusted authority")
            << "untrusted"
            << "SSL handshake failed: The issuer certificate of a locally looked up certificate "
               "could not be found";
        QTest::newRow("https to http") << "downgrade"
                                       << "Insecure redirect";
    }

    void failureTexts()
    {
        QFETCH(QString, situation);
        QFETCH(QString, text);
        const QString key = QStringLiteral("/a b.pak");
        QVERIFY(fixture.publish({{key, patterned(200000, 'a')}}));
        checkNow(fixture, *updater);
        QTRY_VERIFY_WITH_TIMEOUT(log->hasClosingSignal(), 60000);
        log->events.clear();
        updater->setStallTimeout(1000);
        TestHttpServer::Fault fault;
        fault.status = situation.toInt();
        fault.cutAfterBytes = situation == QLatin1String("cut") ? 1000 : -1;
        fault.stallAfterBytes = situation == QLatin1String("stall") ? 1000 : -1;
        fixture.server->setFault(QStringLiteral("/patch") + key, fault);

        NginxServer nginx(fixture.workDir() + QStringLiteral("/www"));
        NginxServer::Options options;
        options.tls = true;
        options.http2 = situation == QLatin1String("h2");
        if (situation == QLatin1String("downgrade"))
            options.redirectTo = fixture.server->baseUrl();
        if (situation == QLatin1String("refused")) {
            fixture.settings->updateUrl = QStringLiteral("http://127.0.0.1:1/patch");
        } else if (situation == QLatin1String("unknown")) {
            fixture.settings->updateUrl = QStringLiteral("http://no-such-host.invalid/patch");
        } else if (situation == QLatin1String("untrusted") || options.http2 ||
                   !options.redirectTo.isEmpty()) {
            QVERIFY2(nginx.start(options), qPrintable(nginx.error()));
            fixture.settings->updateUrl = nginx.baseUrl() + QStringLiteral("/patch");
            if (situation != QLatin1String("untrusted"))
                qputenv("SSL_CERT_FILE", QFile::encodeName(nginx.caPath()));
            if (options.http2)
                QVERIFY(QFile::remove(fixture.patchDir() + key));
        }

        updater->startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(runEnded(), 60000);
        if (text.contains(QLatin1String("%1")))
            text = text.arg(Updater::fileUrl(key).toString());
        QCOMPARE(log->named(QStringLiteral("downloadError")),
                 QStringList{QStringLiteral("downloadError(%1)").arg(text)});
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
        qputenv("SSL_CERT_FILE", QFile::encodeName(nginx.caPath()));
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
        QVERIFY(updater->state() != Updater::State::Downloading);
    }
};

ENGINE_TEST_MAIN(TestEngineServers)
#include "tst_engine_servers.moc"
