#include "announcementwidget.h"
#include "testenvironment.h"
#include "testhttpserver.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QNetworkReply>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// Top quarter red, the rest blue: shows whether a picture is stretched or cropped.
QImage quarterPicture(const QSize &size)
{
    QImage picture(size, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    for (int y = 0; y < size.height() / 4; ++y)
        for (int x = 0; x < size.width(); ++x)
            picture.setPixel(x, y, qRgb(255, 0, 0));
    return picture;
}

QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

bool isRed(QRgb pixel)
{
    return qRed(pixel) > 200 && qBlue(pixel) < 60;
}

bool isBlue(QRgb pixel)
{
    return qBlue(pixel) > 200 && qRed(pixel) < 60;
}

// The card keeps no signal of its own: a request is over once its reply is gone.
bool requestsSettled(const AnnouncementWidget &card)
{
    return card.findChildren<QNetworkReply *>().isEmpty();
}

// An HTTPS server on 127.0.0.1 with a self-signed certificate, answering every
// request with one picture.
class TlsPictureServer final : public QObject
{
public:
    QSslCertificate certificate;
    int handshakes = 0;
    int requests = 0;

    bool start(const QString &folder, const QByteArray &picture)
    {
        body = picture;
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                       "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                       folder + "/key.pem", "-out", folder + "/cert.pem"});
        if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0)
            return false;
        const QList<QSslCertificate> certificates =
            QSslCertificate::fromPath(folder + QStringLiteral("/cert.pem"));
        QFile keyFile(folder + QStringLiteral("/key.pem"));
        if (certificates.isEmpty() || !keyFile.open(QIODevice::ReadOnly))
            return false;
        certificate = certificates.first();

        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(certificate);
        configuration.setPrivateKey(QSslKey(keyFile.readAll(), QSsl::Rsa));
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        server.setSslConfiguration(configuration);
        connect(&server, &QSslServer::startedEncryptionHandshake, this, [this] { ++handshakes; });
        connect(&server, &QTcpServer::pendingConnectionAvailable, this, [this] { serve(); });
        return server.listen(QHostAddress::LocalHost, 0);
    }

    QUrl url() const
    {
        return QUrl(QStringLiteral("https://127.0.0.1:%1/picture.png").arg(server.serverPort()));
    }

private:
    void serve()
    {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            auto request = std::make_shared<QByteArray>();
            connect(socket, &QIODevice::readyRead, socket, [this, socket, request] {
                request->append(socket->readAll());
                if (!request->contains("\r\n\r\n"))
                    return;
                ++requests;
                socket->write("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " +
                              QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" +
                              body);
                socket->disconnectFromHost();
            });
        }
    }

    QSslServer server;
    QByteArray body;
};

} // namespace

class TestUiNewsCard : public QObject
{
    Q_OBJECT

private:
    TestEnvironment environment;
    QTemporaryDir root;
    std::unique_ptr<TestHttpServer> server;

private slots:
    void initTestCase()
    {
        QVERIFY(writeFile(root.filePath(QStringLiteral("square.png")),
                          encoded(quarterPicture(QSize(100, 100)), "PNG")));
        QVERIFY(writeFile(root.filePath(QStringLiteral("wide.jpg")),
                          encoded(quarterPicture(QSize(640, 360)), "JPG")));
        QVERIFY(writeFile(root.filePath(QStringLiteral("text.png")), "this is not a picture"));
        server = std::make_unique<TestHttpServer>(root.path());
        QVERIFY(server->start());
    }

    void init()
    {
        server->resetCounters();
        QDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation)).removeRecursively();
    }

    void pictureFromServerThenFromCache_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("decodedSize");
        QTest::newRow("square picture") << "/square.png" << QSize(100, 100);
        QTest::newRow("16:9 jpeg") << "/wide.jpg" << QSize(640, 360);
    }

    void pictureFromServerThenFromCache()
    {
        QFETCH(QString, path);
        QFETCH(QSize, decodedSize);
        const QUrl url = server->url(path);

        // Stretched over the whole card: the red quarter ends at y 50.
        auto checkStretched = [](AnnouncementWidget &card) {
            const QImage shown = card.grab().toImage();
            QVERIFY(isRed(shown.pixel(178, 40)));
            QVERIFY(isBlue(shown.pixel(178, 60)));
            QVERIFY(isBlue(shown.pixel(178, 190)));
        };

        AnnouncementWidget first;
        first.setImageUrl(url);
        QTRY_VERIFY(first.hasPicture());
        QCOMPARE(server->requestCount(path), 1);
        checkStretched(first);

        const QString cached = AnnouncementWidget::cachePathForUrl(url);
        const QImage stored(cached, "PNG");
        QCOMPARE(stored.size(), decodedSize);

        // A second card, or a later start, reads the cache and asks nothing.
        AnnouncementWidget second;
        second.setImageUrl(url);
        QVERIFY(second.hasPicture());
        QVERIFY(requestsSettled(second));
        QCOMPARE(server->requestCount(path), 1);
        checkStretched(second);
    }

    void failedPictures_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("visible");
        QTest::newRow("not an image: the card hides") << "/text.png" << 0 << false;
        QTest::newRow("missing: placeholder") << "/missing.png" << 0 << true;
        QTest::newRow("server error: placeholder") << "/square.png" << 500 << true;
    }

    void failedPictures()
    {
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(bool, visible);
        if (status) {
            TestHttpServer::Fault fault;
            fault.status = status;
            server->setFault(path, fault);
        }

        AnnouncementWidget card;
        card.show();
        card.setImageUrl(server->url(path));
        QTRY_VERIFY(requestsSettled(card));
        server->clearFaults();

        QCOMPARE(server->requestCount(path), 1);
        QCOMPARE(card.isVisible(), visible);
        QVERIFY(!card.hasPicture());
        QVERIFY(!QFile::exists(AnnouncementWidget::cachePathForUrl(server->url(path))));
    }

    void untrustedCertificateKeepsThePlaceholder()
    {
        QTemporaryDir folder;
        TlsPictureServer tls;
        QVERIFY(tls.start(folder.path(), encoded(quarterPicture(QSize(100, 100)), "PNG")));

        AnnouncementWidget card;
        card.show();
        card.setImageUrl(tls.url());
        QTRY_VERIFY(requestsSettled(card));
        QVERIFY(tls.handshakes >= 1);
        QCOMPARE(tls.requests, 0);
        QVERIFY(card.isVisible());
        QVERIFY(!card.hasPicture());
        QVERIFY(!QFile::exists(AnnouncementWidget::cachePathForUrl(tls.url())));

        // The same server is fine once its certificate is trusted.
        const QSslConfiguration original = QSslConfiguration::defaultConfiguration();
        QSslConfiguration trusting = original;
        trusting.addCaCertificate(tls.certificate);
        QSslConfiguration::setDefaultConfiguration(trusting);
        AnnouncementWidget trusted;
        trusted.setImageUrl(tls.url());
        QTRY_VERIFY(requestsSettled(trusted));
        QSslConfiguration::setDefaultConfiguration(original);
        QCOMPARE(tls.requests, 1);
        QVERIFY(trusted.hasPicture());
    }
};

QTEST_MAIN(TestUiNewsCard)
#include "tst_ui_newscard.moc"
