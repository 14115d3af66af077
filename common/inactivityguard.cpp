#include "inactivityguard.h"

#include <QNetworkReply>

namespace {

constexpr char stalledProperty[] = "inactivityGuardStalled";

} // namespace

InactivityGuard *InactivityGuard::watch(QNetworkReply *reply, int limitMs)
{
    return new InactivityGuard(reply, limitMs);
}

bool InactivityGuard::hasStalled(const QNetworkReply *reply)
{
    return reply && reply->property(stalledProperty).toBool();
}

InactivityGuard::InactivityGuard(QNetworkReply *reply, int limitMs) : QObject(reply), reply(reply)
{
    timer.setSingleShot(true);
    timer.setInterval(limitMs);
    connect(&timer, &QTimer::timeout, this, [this] {
        if (this->reply->isFinished())
            return; // torn down by its owner meanwhile
        this->reply->setProperty(stalledProperty, true);
        emit stalled(this->reply);
    });
    // Any sign of life counts, headers and redirects included.
    connect(reply, &QNetworkReply::metaDataChanged, this, &InactivityGuard::restart);
    connect(reply, &QNetworkReply::readyRead, this, &InactivityGuard::restart);
    connect(reply, &QNetworkReply::downloadProgress, this, &InactivityGuard::restart);
    connect(reply, &QNetworkReply::redirected, this, &InactivityGuard::restart);
    connect(reply, &QNetworkReply::encrypted, this, &InactivityGuard::restart);
    connect(reply, &QNetworkReply::finished, &timer, &QTimer::stop);
    timer.start();
}

void InactivityGuard::restart()
{
    if (!reply->isFinished())
        timer.start();
}
