#pragma once

#include <QNetworkRequest>
#include <QString>
#include <QUrl>

#include <functional>

class QObject;

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

// launcherRequest(), built on a pool thread and handed to `send` on the thread
// of `context`, unless `context` is gone by then. A process's first request
// sets TLS up (the library, the system's trust store), which takes long enough
// to hold a window up.
void sendLauncherRequest(QObject *context, const QUrl &url, const QString &applicationName,
                         std::function<void(const QNetworkRequest &)> send);
