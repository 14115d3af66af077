#pragma once

#include <QNetworkRequest>
#include <QString>
#include <QUrl>

// How a request wants its body.
enum class BodyEncoding
{
    AsServed, // Qt's default: the server may compress, Qt inflates
    Identity  // the bytes as stored: files checked by their own size and CRC
};

// A request as both programs send it to the studio's servers: the product's
// User-Agent, TLS 1.2 or later, redirects followed only where they do not
// lower the security, the system's authorities trusted plus those SSL_CERT_FILE
// and SSL_CERT_DIR name. Time limits are the caller's (InactivityGuard).
QNetworkRequest launcherRequest(const QUrl &url, const QString &applicationName,
                                BodyEncoding encoding = BodyEncoding::AsServed);
