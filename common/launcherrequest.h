#pragma once

#include <QNetworkRequest>
#include <QString>
#include <QUrl>

// A request as both programs send it to the studio's servers: the product's
// User-Agent, TLS 1.2 or later, and a limit on how long the server may go
// without sending anything.
QNetworkRequest launcherRequest(const QUrl &url, const QString &applicationName,
                                int stallTimeoutMs);
