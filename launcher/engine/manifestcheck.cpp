#include "manifestcheck.h"

#include "downloadrun.h"
#include "inactivityguard.h"
#include "launcherrequest.h"
#include "manifestcodec.h"
#include "settings.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QtConcurrent>

#include <utility>

namespace {

// Marks a reply stopped for its size, so its end is not read as a network failure.
constexpr char oversizedProperty[] = "engineOversized";

} // namespace

ManifestCheck::ManifestCheck(QNetworkAccessManager &network, QObject *parent)
    : QObject(parent), network(network)
{
}

ManifestCheck::~ManifestCheck()
{
    drop();
}

QString ManifestCheck::invalidManifestMessage()
{
    return QStringLiteral("The patching server sent an invalid update manifest.");
}

void ManifestCheck::start(int stallTimeoutMs)
{
    drop();
    const Settings *settings = Settings::instance;
    const QString address = settings->updateUrl + QLatin1Char('/') + settings->manifestFile;
    const quint64 attempt = ++attempts;
    preparing = true;
    sendLauncherRequest(this, QUrl(address, QUrl::TolerantMode), settings->applicationName,
                        [this, attempt, stallTimeoutMs](const QNetworkRequest &request) {
                            // Dropped or replaced while the request was built.
                            if (attempt == attempts)
                                send(request, stallTimeoutMs);
                        });
}

void ManifestCheck::send(const QNetworkRequest &request, int stallTimeoutMs)
{
    preparing = false;
    QNetworkReply *reply = network.get(request);
    current = reply;
    connect(InactivityGuard::watch(reply, stallTimeoutMs), &InactivityGuard::stalled, this,
            [](QNetworkReply *stalled) { stalled->abort(); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        if (holding)
            held.append(reply);
        else
            onFinished(reply);
    });
    // Stop a body beyond the manifest bound while it arrives, before it fills memory.
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64) {
        if (received <= maxManifestBodyBytes || reply->property(oversizedProperty).toBool())
            return;
        reply->setProperty(oversizedProperty, true);
        reply->abort();
    });
}

void ManifestCheck::drop()
{
    ++attempts;
    preparing = false;
    decoding = false;
    heldResult.reset();
    if (QNetworkReply *reply = current.data()) {
        current = nullptr;
        disconnect(reply, nullptr, this, nullptr);
        reply->deleteLater();
    }
}

void ManifestCheck::hold()
{
    holding = true;
}

void ManifestCheck::resume()
{
    holding = false;
    // Read after the caller has reported its own outcome.
    if (heldResult) {
        QMetaObject::invokeMethod(
            this,
            [this, attempt = attempts, decoded = *std::exchange(heldResult, std::nullopt)] {
                if (attempt == attempts)
                    deliver(decoded);
            },
            Qt::QueuedConnection);
    }
    const QList<QPointer<QNetworkReply>> replies = std::exchange(held, {});
    for (const QPointer<QNetworkReply> &reply : replies) {
        QMetaObject::invokeMethod(
            this,
            [this, reply] {
                if (reply)
                    onFinished(reply);
            },
            Qt::QueuedConnection);
    }
}

void ManifestCheck::onFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    // An earlier check's reply tells nothing now.
    if (reply != current)
        return;
    current = nullptr;

    if (reply->property(oversizedProperty).toBool()) {
        qWarning().noquote() << "Refused the update manifest: body larger than"
                             << maxManifestBodyBytes << "bytes";
        emit failed({Failure::Kind::InvalidData, invalidManifestMessage()});
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        if (InactivityGuard::hasStalled(reply))
            emit failed({Failure::Kind::Stalled, DownloadRun::stalledServerMessage()});
        else
            emit failed({Failure::Kind::Network, QStringLiteral("Network error occurred")});
        return;
    }
    // Inflating and parsing thousands of entries: too long for the window's thread.
    const quint64 attempt = attempts;
    decoding = true;
    decodingBody = reply->readAll();
    QtConcurrent::run([body = decodingBody] {
        return decodeManifest(body);
    }).then(this, [this, attempt](const DecodedManifest &decoded) {
        // Dropped or replaced meanwhile.
        if (attempt != attempts)
            return;
        if (holding)
            heldResult = decoded;
        else
            deliver(decoded);
    });
}

void ManifestCheck::deliver(const DecodedManifest &decoded)
{
    decoding = false;
    if (!decoded.ok()) {
        // Without a word the window would stay in its checking state for good.
        qWarning().noquote() << "Refused the update manifest:" << decoded.detail;
        emit failed({Failure::Kind::InvalidData, invalidManifestMessage()});
        return;
    }
    lastBody = std::exchange(decodingBody, QByteArray());
    emit received(decoded.files, decoded.build);
}
