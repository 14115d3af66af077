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
#include <QTimer>

namespace {

// Marks a manifest reply stopped for its size, so its end is not read as a network failure.
constexpr char oversizedProperty[] = "engineOversized";

} // namespace

Updater::Updater() : QObject(nullptr)
{
    qRegisterMetaType<QNetworkReply::NetworkError>();
    connect(&networkManager, &QNetworkAccessManager::finished, this, &Updater::handleNetworkReply);
    deferredCheck = new QTimer(this);
    deferredCheck->setSingleShot(true);
    connect(deferredCheck, &QTimer::timeout, this, &Updater::runDeferredCheck);
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
            failRun(stalledServerMessage());
        return;
    case Purpose::Manifest: {
        // Its end must not be read as a second failure; an earlier check's says nothing.
        const bool current = reply == currentManifest;
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        if (current)
            handleDownloadError(QNetworkReply::TimeoutError);
        return;
    }
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

QString Updater::gameStartedMessage()
{
    return QStringLiteral("The game was started while the update was downloading. The "
                          "downloaded files were kept and will be installed by the next update "
                          "once the game is closed.");
}

void Updater::setState(State next)
{
    engineState = next;
    // A check asked for while we were busy runs now, unless the caller starts other work first.
    if (next == State::Idle && checkWanted && !deferredCheck->isActive())
        deferredCheck->start(0);
}

bool Updater::fileWorkAllowed() const
{
    return engineState == State::Idle || engineState == State::Checking ||
           engineState == State::Verifying;
}

void Updater::runDeferredCheck()
{
    if (!checkWanted)
        return;
    if (engineState != State::Idle)
        return; // still busy: setState runs it once idle
    checkWanted = false;
    requestManifest();
}

void Updater::checkForUpdates()
{
    switch (engineState) {
    case State::Checking:
    case State::Verifying:
        return; // the check under way answers this one too
    case State::Downloading:
    case State::MovingFiles:
    case State::Uninstalling:
        // Not now (a check would verify a half-moved folder), but not forgotten.
        checkWanted = true;
        return;
    case State::Idle:
        break;
    }

    // At most one check a second; one asked for sooner runs when the second is over.
    const QDateTime last = QDateTime::fromString(Settings::instance->lastUpdateCheck, Qt::ISODate);
    const QDateTime now = QDateTime::currentDateTime();
    if (last.isValid() && last.addSecs(1) > now) {
        checkWanted = true;
        // A last check in the future (a clock set back) holds us no longer than a second.
        const qint64 wait = qBound(qint64(1), now.msecsTo(last.addSecs(1)), qint64(1000));
        if (!deferredCheck->isActive())
            deferredCheck->start(static_cast<int>(wait));
        return;
    }
    checkWanted = false;
    deferredCheck->stop();
    requestManifest();
}

void Updater::requestManifest()
{
    Settings *settings = Settings::instance;
    recheckRequired = false;
    setState(State::Checking);
    // Its verification must not read a folder an earlier mover is still changing.
    waitForEarlierMover();
    emit checkingForUpdates();
    settings->setLastUpdateCheck(QDateTime::currentDateTime().toString(Qt::ISODate));

    const QString address = settings->updateUrl + QLatin1Char('/') + settings->manifestFile;
    QNetworkReply *reply = sendRequest(QUrl(address, QUrl::TolerantMode), Purpose::Manifest);
    currentManifest = reply;
    connect(reply, &QNetworkReply::errorOccurred, this,
            [this, reply](QNetworkReply::NetworkError error) {
                // Only the latest check speaks; an earlier one was replaced.
                if (reply == currentManifest)
                    handleDownloadError(error);
            });
    // Stop a body beyond the manifest bound while it arrives, before it fills memory.
    connect(reply, &QNetworkReply::downloadProgress, this, [this, reply](qint64 received, qint64) {
        if (received <= maxManifestBodyBytes || reply->property(oversizedProperty).toBool())
            return;
        disconnect(reply, &QNetworkReply::errorOccurred, this, nullptr);
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
        if (engineState == State::MovingFiles || engineState == State::Uninstalling) {
            deferredReplies.append(reply);
            return;
        }
        // An earlier check's reply, or one that already failed, tells nothing now.
        if (reply != currentManifest) {
            reply->deleteLater();
            return;
        }
        currentManifest = nullptr;
        if (reply->property(oversizedProperty).toBool())
            refuseManifest(QStringLiteral("body larger than %1 bytes").arg(maxManifestBodyBytes));
        else if (reply->error() == QNetworkReply::NoError)
            parseManifest(reply->readAll());
        else if (engineState == State::Checking)
            setState(State::Idle); // its error was reported when it occurred
    }
    reply->deleteLater();
}

void Updater::handleDownloadError(QNetworkReply::NetworkError error)
{
    if (QCoreApplication::closingDown()) {
        cancelAllDownloads();
        return;
    }

    currentManifest = nullptr;
    uninstallAfterCheck = false;
    setState(State::Idle);

    if (launcherCheckIssued) {
        emit launcherVersionCheckComplete(false);
        MessageBox::critical(QStringLiteral("Launch Error"),
                             QStringLiteral("Unable to connect to the patching server."));
        QCoreApplication::quit();
        return;
    }

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
