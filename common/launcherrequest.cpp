#include "launcherrequest.h"

#include <QSslConfiguration>

namespace {

// Built once and shared: a download run sends thousands of requests.
QSslConfiguration &sharedSslConfiguration()
{
    static QSslConfiguration ssl = [] {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setProtocol(QSsl::TlsV1_2OrLater);
        return configuration;
    }();
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

void trustAdditionalAuthorities(const QList<QSslCertificate> &authorities)
{
    QSslConfiguration &ssl = sharedSslConfiguration();
    // Adding would stop Qt from loading the system's authorities on demand.
    ssl.setCaCertificates(QSslConfiguration::systemCaCertificates() + ssl.caCertificates() +
                          authorities);
}
