#include "launcherrequest.h"

#include <QSslConfiguration>

QNetworkRequest launcherRequest(const QUrl &url, const QString &applicationName, int stallTimeoutMs)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      applicationName + QStringLiteral(" Launcher"));
    // Built once and shared: a download run sends thousands of requests.
    static const QSslConfiguration ssl = [] {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setProtocol(QSsl::TlsV1_2OrLater);
        return configuration;
    }();
    request.setSslConfiguration(ssl);
    request.setTransferTimeout(stallTimeoutMs);
    return request;
}
