#include "launcherrequest.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSslConfiguration>
#include <QtConcurrent>

namespace {

// Where Qt looks the system's authorities up by hash, on demand. Naming it (or
// the bundle made from it) again would only parse every certificate up front:
// most of a second, for the same trust.
bool isSystemStore(const QByteArray &path)
{
    const QFileInfo named(QFile::decodeName(path));
    const QString store = QFileInfo(QStringLiteral("/etc/ssl/certs")).canonicalFilePath();
    if (store.isEmpty() || !named.exists())
        return false;
    return (named.isDir() ? named.canonicalFilePath() : named.canonicalPath()) == store;
}

// Built once for the trust store the environment names, and shared.
QSslConfiguration sharedSslConfiguration()
{
    static QMutex mutex;
    static QSslConfiguration ssl;
    static QByteArray builtFor;
    const QMutexLocker lock(&mutex);
    // As for curl: SSL_CERT_FILE and SSL_CERT_DIR add to the store. Qt 6.4 reads neither.
    const QByteArray file = qgetenv("SSL_CERT_FILE");
    const QByteArray dir = qgetenv("SSL_CERT_DIR");
    const QByteArray wanted = "built\n" + file + '\n' + dir;
    if (wanted != builtFor) {
        builtFor = wanted;
        ssl = QSslConfiguration::defaultConfiguration();
        ssl.setProtocol(QSsl::TlsV1_2OrLater);
        QList<QSslCertificate> named;
        if (!file.isEmpty() && !isSystemStore(file))
            named += QSslCertificate::fromPath(QFile::decodeName(file));
        if (!dir.isEmpty() && !isSystemStore(dir))
            named += QSslCertificate::fromPath(QFile::decodeName(dir) + QStringLiteral("/*"),
                                               QSsl::Pem, QSslCertificate::PatternSyntax::Wildcard);
        // Adding would stop Qt from loading the system's authorities on demand.
        if (!named.isEmpty())
            ssl.setCaCertificates(QSslConfiguration::systemCaCertificates() + named);
    }
    return ssl;
}

} // namespace

QNetworkRequest launcherRequest(const QUrl &url, const QString &applicationName,
                                BodyEncoding encoding)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      applicationName + QStringLiteral(" Launcher"));
    request.setSslConfiguration(sharedSslConfiguration());
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    // Set by hand, Qt neither offers gzip nor inflates: no decompression guard
    // can fail a large, well-compressing file.
    if (encoding == BodyEncoding::Identity)
        request.setRawHeader(QByteArrayLiteral("Accept-Encoding"), QByteArrayLiteral("identity"));
    return request;
}

void sendLauncherRequest(QObject *context, const QUrl &url, const QString &applicationName,
                         std::function<void(const QNetworkRequest &)> send)
{
    QtConcurrent::run([url, applicationName] {
        return launcherRequest(url, applicationName);
    }).then(context, [send = std::move(send)](const QNetworkRequest &request) { send(request); });
}
