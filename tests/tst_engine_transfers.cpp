#include "apacheserver.h"
#include "checksum.h"
#include "nginxserver.h"
#include "partrecord.h"
#include "testhttpserver.h"
#include "transferpool.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(TestHttpServer::Fault)

namespace {

QByteArray patterned(qint64 size, char seed)
{
    QByteArray content(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        content[i] = char(seed + (i * 7) % 251);
    return content;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QString stalled = QStringLiteral("The patching server stopped responding.");

} // namespace

// The libcurl transfers against the loopback test server and the servers studios run.
class TestEngineTransfers : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> work;
    std::unique_ptr<TestHttpServer> server;
    QMap<QString, QByteArray> files; // key -> published content
    QStringList ready;

    QString www() const { return work->path() + QStringLiteral("/www"); }
    QString staged(const QString &key) const { return work->path() + "/staging" + key; }
    QString records() const { return work->path() + QStringLiteral("/records"); }

    void publish(const QString &key, const QByteArray &content)
    {
        files.insert(key, content);
        QVERIFY(writeFile(www() + QStringLiteral("/patch") + key, content));
    }

    QList<TransferItem> items(const QString &base) const
    {
        QList<TransferItem> list;
        for (auto it = files.constBegin(); it != files.constEnd(); ++it)
            list.append({it.key(),
                         QUrl(base + QStringLiteral("/patch") +
                                  QString::fromLatin1(QUrl::toPercentEncoding(it.key(), "/")),
                              QUrl::TolerantMode),
                         staged(it.key()), it.value().size(),
                         crc32Hex(crc32Update(0, it.value().constData(), it.value().size()))});
        return list;
    }

    // Runs the items to their end: the failure's text, or empty when every file is ready.
    QString run(TransferPool &pool, const QList<TransferItem> &list, int concurrent = 2,
                int stallMs = 30000)
    {
        ready.clear();
        QSignalSpy done(&pool, &TransferPool::finished);
        QSignalSpy failed(&pool, &TransferPool::failed);
        connect(&pool, &TransferPool::fileReady, this,
                [this](const QString &key) { ready << key; });
        pool.start(list, concurrent, {"Ashgrove PTR Launcher", stallMs, stalled, records()});
        if (!QTest::qWaitFor([&] { return !done.isEmpty() || !failed.isEmpty(); }, 120000))
            return QStringLiteral("no end");
        disconnect(&pool, &TransferPool::fileReady, this, nullptr);
        return failed.isEmpty() ? QString() : failed.first().first().value<Failure>().message;
    }

private slots:
    void init()
    {
        work = std::make_unique<QTemporaryDir>();
        QVERIFY(work->isValid());
        files.clear();
        server = std::make_unique<TestHttpServer>(www());
        QVERIFY(server->start());
        qunsetenv("SSL_CERT_FILE");
        qunsetenv("http_proxy");
    }

    void cleanup() { server.reset(); }

    // Byte for byte over one kept-alive connection per slot, HTTP/2 multiplexed
    // over one where offered, trusting what SSL_CERT_FILE names; empty files unasked.
    void installsFromServers_data()
    {
        QTest::addColumn<QString>("server");
        QTest::newRow("test server") << "test";
        QTest::newRow("nginx, TLS + HTTP/2") << "nginx-h2";
        QTest::newRow("nginx, gzip on") << "nginx-gzip";
        QTest::newRow("Apache") << "apache";
        QTest::newRow("302 to the test server") << "redirect";
        QTest::newRow("proxy from the environment") << "proxy";
    }

    void installsFromServers()
    {
        QFETCH(QString, server);
        publish(QStringLiteral("/empty.txt"), QByteArray());
        publish(QStringLiteral("/big.pak"), QByteArray(3 * 1024 * 1024 + 5, '\0'));
        publish(QString::fromUtf8("/data/s\u00e4ve/\u00e9t\u00e9 #2.cfg"), "hot=1\n");
        for (int i = 0; i < 20; ++i)
            publish(QStringLiteral("/maps/map %1.dat").arg(i), patterned(1000 + i * 3001, char(i)));

        NginxServer nginx(www());
        ApacheServer apache(www());
        NginxServer::Options options;
        options.tls = options.http2 = server == QLatin1String("nginx-h2");
        options.gzip = server == QLatin1String("nginx-gzip");
        if (server == QLatin1String("redirect"))
            options.redirectTo = this->server->baseUrl();
        QString base = this->server->baseUrl();
        if (server == QLatin1String("apache")) {
            QVERIFY2(apache.start(), qPrintable(apache.error()));
            base = apache.baseUrl();
        } else if (server == QLatin1String("proxy")) {
            qputenv("http_proxy", this->server->baseUrl().toLatin1());
            base = QStringLiteral("http://patch.ashgrove.invalid");
        } else if (server != QLatin1String("test")) {
            QVERIFY2(nginx.start(options), qPrintable(nginx.error()));
            base = nginx.baseUrl();
            qputenv("SSL_CERT_FILE", QFile::encodeName(nginx.caPath()));
        }

        TransferPool pool;
        QCOMPARE(run(pool, items(base)), QString());
        QCOMPARE(ready.size(), files.size());
        for (auto it = files.constBegin(); it != files.constEnd(); ++it)
            QVERIFY2(readFile(staged(it.key())) == it.value(), qPrintable(it.key()));
        const TransferPool::Statistics wire = pool.statistics();
        QCOMPARE(wire.requests, int(files.size()) - 1);
        const int connections = options.http2 ? 1 : options.redirectTo.isEmpty() ? 2 : 4;
        QVERIFY2(wire.connections <= connections, qPrintable(QString::number(wire.connections)));
        QCOMPARE(wire.http2, options.http2 ? wire.requests : 0);
        if (server == QLatin1String("test") || server == QLatin1String("redirect")) {
            QCOMPARE(this->server->requestCount(QStringLiteral("/patch/empty.txt")), 0);
            QCOMPARE(this->server->lastHeader(QStringLiteral("/patch/big.pak"), "Accept-Encoding"),
                     QByteArray("identity"));
        }
        QCOMPARE(QDir(records()).entryList(QDir::Files), QStringList());
    }

    // The texts Qt's network replies gave for the same situations (Qt 6.4).
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
        QTest::newRow("404 over HTTP/2") << "h2-404"
                                         << "Error transferring %1 - server replied: ";
        QTest::newRow("refused") << "refused"
                                 << "Connection refused";
        QTest::newRow("unknown host") << "unknown"
                                      << "Host no-such-host.invalid not found";
        QTest::newRow("cut short") << "cut"
                                   << "Connection closed";
        QTest::newRow("stops sending") << "stall" << stalled;
        QTest::newRow("never answers") << "silent" << stalled;
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
        publish(QStringLiteral("/a b.pak"), patterned(200000, 'a'));
        TestHttpServer::Fault fault;
        fault.status = situation.toInt();
        fault.cutAfterBytes = situation == QLatin1String("cut") ? 1000 : -1;
        fault.stallAfterBytes = situation == QLatin1String("stall") ? 1000 : -1;
        fault.stallBeforeHeaders = situation == QLatin1String("silent");
        server->setFault(QStringLiteral("/patch/a b.pak"), fault);

        NginxServer nginx(www());
        NginxServer::Options options;
        options.tls = true;
        options.http2 = situation == QLatin1String("h2-404");
        if (situation == QLatin1String("downgrade"))
            options.redirectTo = server->baseUrl();
        QString base = server->baseUrl();
        if (situation == QLatin1String("refused")) {
            base = QStringLiteral("http://127.0.0.1:1");
        } else if (situation == QLatin1String("unknown")) {
            base = QStringLiteral("http://no-such-host.invalid");
        } else if (situation == QLatin1String("untrusted") || options.http2 ||
                   !options.redirectTo.isEmpty()) {
            QVERIFY2(nginx.start(options), qPrintable(nginx.error()));
            base = nginx.baseUrl();
            if (situation != QLatin1String("untrusted"))
                qputenv("SSL_CERT_FILE", QFile::encodeName(nginx.caPath()));
            if (options.http2)
                QVERIFY(QFile::remove(www() + QStringLiteral("/patch/a b.pak")));
        }

        TransferPool pool;
        const QList<TransferItem> list = items(base);
        if (text.contains(QLatin1String("%1")))
            text = text.arg(list.first().url.toString());
        QCOMPARE(run(pool, list, 2, 1000), text);
    }

    // A part is continued only under the validator it was begun with; a file
    // published anew between the stop and the resume starts over.
    void resumesUnderItsValidator_data()
    {
        QTest::addColumn<bool>("republished");
        QTest::addColumn<bool>("ignoreRange");
        QTest::newRow("same file") << false << false;
        QTest::newRow("published anew meanwhile") << true << false;
        QTest::newRow("server ignores ranges") << false << true;
    }

    void resumesUnderItsValidator()
    {
        QFETCH(bool, republished);
        QFETCH(bool, ignoreRange);
        const QString key = QStringLiteral("/big.pak");
        publish(key, patterned(4 * 1024 * 1024, 'b'));
        TestHttpServer::Fault stop;
        stop.stallAfterBytes = 2 * 1024 * 1024 + 100;
        server->setFault(QStringLiteral("/patch") + key, stop);
        TransferPool pool;
        QCOMPARE(run(pool, items(server->baseUrl()), 1, 1000), stalled);
        const qint64 kept = QFileInfo(staged(key)).size();
        QVERIFY2(kept >= 1024 * 1024 && kept <= stop.stallAfterBytes,
                 qPrintable(QString::number(kept)));
        const QByteArray validator =
            PartRecord(records(), key).read(items(server->baseUrl()).first().url.toEncoded());
        QVERIFY(validator.startsWith('"'));

        TestHttpServer::Fault fault;
        fault.ignoreRange = ignoreRange;
        server->setFault(QStringLiteral("/patch") + key, fault);
        if (republished)
            publish(key, patterned(4 * 1024 * 1024 + 3, 'n'));
        QCOMPARE(run(pool, items(server->baseUrl()), 1), QString());
        QCOMPARE(server->lastHeader(QStringLiteral("/patch") + key, "Range"),
                 "bytes=" + QByteArray::number(kept) + '-');
        QCOMPARE(server->lastHeader(QStringLiteral("/patch") + key, "If-Range"), validator);
        QCOMPARE(readFile(staged(key)), files.value(key));
        QVERIFY(PartRecord(records(), key)
                    .read(items(server->baseUrl()).first().url.toEncoded())
                    .isEmpty());
    }

    // Never more than the entry declares reaches the disk; a wrong file is not kept.
    void refusesWrongContent_data()
    {
        QTest::addColumn<TestHttpServer::Fault>("fault");
        QTest::addColumn<bool>("kept");
        TestHttpServer::Fault longer;
        longer.body = patterned(5000, 'x');
        longer.useBody = true;
        QTest::newRow("longer than declared") << longer << false;
        TestHttpServer::Fault endless;
        endless.endless = true;
        QTest::newRow("endless body") << endless << false;
        TestHttpServer::Fault altered;
        altered.body = patterned(1000, 'y');
        altered.useBody = true;
        QTest::newRow("same size, other bytes") << altered << false;
        TestHttpServer::Fault shorter;
        shorter.announcedLength = 400;
        QTest::newRow("announces less") << shorter << false;
    }

    void refusesWrongContent()
    {
        QFETCH(TestHttpServer::Fault, fault);
        QFETCH(bool, kept);
        publish(QStringLiteral("/bad.pak"), patterned(1000, 'c'));
        server->setFault(QStringLiteral("/patch/bad.pak"), fault);
        TransferPool pool;
        QCOMPARE(run(pool, items(server->baseUrl())), QStringLiteral("File verification failed"));
        QCOMPARE(QFile::exists(staged(QStringLiteral("/bad.pak"))), kept);
    }
};

QTEST_GUILESS_MAIN(TestEngineTransfers)
#include "tst_engine_transfers.moc"
