#pragma once

#include <QObject>
#include <QTimer>

class QNetworkReply;

// Fails a request that goes this long without a byte, whatever state Qt's
// reply is in: Qt's own transfer timeout was seen never firing behind a
// redirect. The guard lives as the reply's child; the owner hears stalled()
// once and tears the reply down itself.
class InactivityGuard final : public QObject
{
    Q_OBJECT

public:
    static constexpr int defaultLimitMs = 30000;

    static InactivityGuard *watch(QNetworkReply *reply, int limitMs);
    static bool hasStalled(const QNetworkReply *reply);

signals:
    void stalled(QNetworkReply *reply);

private:
    InactivityGuard(QNetworkReply *reply, int limitMs);
    void restart();

    QNetworkReply *reply;
    QTimer timer;
};
