#include "updater.h"

#include "inactivityguard.h"
#include "launcherrequest.h"
#include "manifestcodec.h"
#include "messagebox.h"
#include "settings.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QNetworkRequest>
#include <QSslConfiguration>

namespace {

// Marks a manifest reply stopped for its size, so its end is not read as a network failure.
constexpr char oversizedProperty[] = "engineOversized";

} // namespace

Updater::Updater() : QObject(nullptr)
{
    qRegisterMetaType<QNetworkReply::NetworkError>();
    connect(&networkManager, &QNetworkAccessManager::finished, this, &Updater::handleNetworkReply);
}

Updater::~Updater()
{
    stopVerification();

    const QList<QNetworkReply *> replies = activeDownloads.keys();
    for (QNetworkReply *reply : replies) {
        QObject::disconnect(reply, nullptr, nullptr, nullptr);
        const auto it = activeDownloads.find(reply);
        if (it != activeDownloads.end() && it->file) {
            it->file->close();
            delete it->file;
            it->file = nullptr;
        }
        reply->abort();
        reply->close();
        reply->deleteLater();
    }
    activeDownloads.clear();
    pendingDownloads.clear();

    // Replies the manager still owns (manifest, launcher version) must not call
    // back into an engine whose members are being destroyed.
    disconnect(&networkManager, nullptr, this, nullptr);
    const auto owned = networkManager.findChildren<QNetworkReply *>();
    for (QNetworkReply *reply : owned)
        disconnect(reply, nullptr, this, nullptr);
}

QString Updater::stalledServerMessage()
{
    return QStringLiteral("The patching server stopped responding.");
}

QString Updater::invalidManifestMessage()
{
    return QStringLiteral("The patching server sent an invalid update manifest.");
}

QNetworkReply *Updater::sendRequest(const QUrl &url, Purpose purpose, qint64 rangeStart)
{
    // Files are checked by the CRC of their own bytes: ask for them as stored.
    QNetworkRequest request =
        launcherRequest(url, Settings::instance->applicationName,
                        purpose == Purpose::File ? BodyEncoding::Identity : BodyEncoding::AsServed);
    request.setAttribute(QNetworkRequest::User, static_cast<int>(purpose));
    if (rangeStart > 0)
        request.setRawHeader(QByteArrayLiteral("Range"),
                             "bytes=" + QByteArray::number(rangeStart) + '-');
    QNetworkReply *reply = networkManager.get(request);
    connect(InactivityGuard::watch(reply, stallTimeoutMs), &InactivityGuard::stalled, this,
            &Updater::onRequestStalled);
    return reply;
}

void Updater::onRequestStalled(QNetworkReply *reply)
{
    switch (purposeOf(reply)) {
    case Purpose::File:
        if (activeDownloads.contains(reply))
            failRun(reply, stalledServerMessage());
        return;
    case Purpose::Manifest:
        // Its end must not be read as a second failure.
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        handleDownloadError(QNetworkReply::TimeoutError);
        return;
    case Purpose::LauncherVersion:
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        onLauncherVersionReply(reply);
        return;
    }
}

Updater::Purpose Updater::purposeOf(const QNetworkReply *reply)
{
    return static_cast<Purpose>(reply->request().attribute(QNetworkRequest::User).toInt());
}

bool Updater::isStall(QNetworkReply::NetworkError error)
{
    return error == QNetworkReply::TimeoutError;
}

void Updater::checkForUpdates()
{
    // Nor while files are being moved: the check would verify a half-moved folder.
    if (isUpdating || movingFiles)
        return;

    Settings *settings = Settings::instance;
    const QDateTime last = QDateTime::fromString(settings->lastUpdateCheck, Qt::ISODate);
    if (last.isValid() && last.addSecs(1) > QDateTime::currentDateTime())
        return;

    requestManifest();
    isUpdating = false;
    recheckRequired = false;
}

void Updater::requestManifest()
{
    Settings *settings = Settings::instance;
    emit checkingForUpdates();
    settings->setLastUpdateCheck(QDateTime::currentDateTime().toString(Qt::ISODate));

    const QString address = settings->updateUrl + QLatin1Char('/') + settings->manifestFile;
    QNetworkReply *reply = sendRequest(QUrl(address, QUrl::TolerantMode), Purpose::Manifest);
    connect(reply, &QNetworkReply::errorOccurred, this, &Updater::handleDownloadError);
    // Stop a body beyond the manifest bound while it arrives, before it fills memory.
    connect(reply, &QNetworkReply::downloadProgress, this, [this, reply](qint64 received, qint64) {
        if (received <= maxManifestBodyBytes || reply->property(oversizedProperty).toBool())
            return;
        disconnect(reply, &QNetworkReply::errorOccurred, this, &Updater::handleDownloadError);
        reply->setProperty(oversizedProperty, true);
        reply->abort();
    });
}

void Updater::handleNetworkReply(QNetworkReply *reply)
{
    // Replies are told apart by what they were sent for, not by their address:
    // a game file may well be named like the manifest.
    if (purposeOf(reply) == Purpose::Manifest) {
        // Its verification must not read the folder a mover is working on.
        if (movingFiles) {
            deferredReplies.append(reply);
            return;
        }
        if (reply->property(oversizedProperty).toBool())
            refuseManifest(QStringLiteral("body larger than %1 bytes").arg(maxManifestBodyBytes));
        else if (reply->error() == QNetworkReply::NoError)
            parseManifest(reply->readAll());
    }
    reply->deleteLater();
}

void Updater::handleDownloadError(QNetworkReply::NetworkError error)
{
    if (QCoreApplication::closingDown()) {
        cancelAllDownloads();
        return;
    }

    if (launcherCheckIssued) {
        emit launcherVersionCheckComplete(false);
        MessageBox::critical(QStringLiteral("Launch Error"),
                             QStringLiteral("Unable to connect to the patching server."));
        QCoreApplication::quit();
        return;
    }

    isUpdating = false;
    uninstallAfterCheck = false;
    cancelAllDownloads();
    if (QCoreApplication::closingDown())
        return;
    emit stateChanged(QStringLiteral("update"));
    emit downloadError(isStall(error) ? stalledServerMessage()
                                      : QStringLiteral("Network error occurred"));
}

bool Updater::isInstalled()
{
    const QString path = QDir::toNativeSeparators(QDir::cleanPath(Settings::installPath()));
    if (path.isEmpty())
        return false;
    const QDir dir(path);
    return dir.exists() && dir.exists(QStringLiteral(".initcomplete"));
}
