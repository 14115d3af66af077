#include "launcherupdater.h"

#include "inactivityguard.h"
#include "launcherrequest.h"
#include "packageextractor.h"
#include "platform/platform.h"
#include "releaseswap.h"
#include "settings.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>

namespace {

constexpr qint64 packageBufferBytes = 1024 * 1024;

bool isFolderWritable(const QString &folder)
{
    QFile probe(folder + QStringLiteral("/write_test.tmp"));
    if (!probe.open(QIODevice::WriteOnly))
        return false;
    probe.close();
    probe.remove();
    return true;
}

} // namespace

LauncherUpdater::LauncherUpdater(QObject *parent)
    : QObject(parent), networkManager(new QNetworkAccessManager(this))
{
}

LauncherUpdater::~LauncherUpdater() = default;

bool LauncherUpdater::startUpdate(const QString &launcherPath, const QString &updateUrl,
                                  bool elevated)
{
    const Settings settings(nullptr, Settings::LoadFailures::Logged);

    // The launcher may have been started from anywhere (a shortcut sets its
    // own working folder): the files to replace are the ones beside it.
    const QString launcherFolder = QFileInfo(launcherPath).absolutePath();
    if (!launcherPath.isEmpty() && QFileInfo(launcherFolder).isDir())
        QDir::setCurrent(launcherFolder);
    targetFolder = QDir::currentPath();

    if (!isFolderWritable(targetFolder)) {
        if (elevated) {
            fail(QStringLiteral("Failed to write files even with sufficient privileges"));
            return true;
        }
        const QStringList arguments{QStringLiteral("-p"), launcherPath, QStringLiteral("-u"),
                                    updateUrl, QStringLiteral("-e")};
        if (!platform::startElevatedDetached(QCoreApplication::applicationFilePath(), arguments,
                                             targetFolder))
            qDebug() << "Failed to request an elevated restart";
        return false;
    }

    // One updater at a time; a launcher starting meanwhile leaves the folder to us.
    auto folderSwap = std::make_unique<ReleaseSwap>(targetFolder);
    const Status locked = folderSwap->lock();
    if (!locked.ok()) {
        fail(locked.message());
        return true;
    }
    swap = std::move(folderSwap);

    const QString launcherName = platform::executableFileName(settings.launcherExecutable);
    if (platform::stopProcessesInFolder(launcherName, targetFolder) == 0)
        qDebug() << "Failed to kill the launcher process";

    // A run killed earlier ends here first, so the package lands on one whole release.
    const Status recovered = swap->recover();
    if (!recovered.ok()) {
        fail(QStringLiteral("The previous update could not be finished or undone: ") +
             recovered.message());
        return true;
    }

    emit status(QStringLiteral("Downloading update..."));

    // The package is a zip: compressing it again gains nothing, and Qt's
    // decompression guard could refuse a well-compressing one.
    const QNetworkRequest request = launcherRequest(
        QUrl(updateUrl, QUrl::TolerantMode), settings.applicationName, BodyEncoding::Identity);
    // Beside the launcher, not in the shared temporary folder.
    QDir().mkpath(swap->workFolder());
    package = new QFile(swap->workFolder() + QStringLiteral("/package.zip"), this);
    if (!package->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        fail(QStringLiteral("Failed to create temporary file"));
        return true;
    }
    QNetworkReply *reply = networkManager->get(request);
    reply->setReadBufferSize(packageBufferBytes);
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { writePackageData(reply); });
    connect(reply, &QNetworkReply::downloadProgress, this, &LauncherUpdater::downloadProgress);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onDownloadFinished(reply); });
    connect(InactivityGuard::watch(reply, stallTimeoutMs), &InactivityGuard::stalled, this,
            [this](QNetworkReply *stalled) {
                disconnect(stalled, nullptr, this, nullptr);
                stalled->abort();
                stalled->deleteLater();
                fail(QStringLiteral("The update server stopped responding."));
            });
    return true;
}

void LauncherUpdater::onDownloadFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        fail(reply->errorString());
        return;
    }
    writePackageData(reply);
    if (packageWriteFailed || !package->flush()) {
        fail(QStringLiteral("Failed to create temporary file"));
        return;
    }
    package->close();
    emit status(QStringLiteral("Extracting files..."));

    const Result<QStringList> entries =
        extractPackage(package->fileName(), swap->stagingFolder(), targetFolder);
    const Status swapped = entries.ok() ? swap->commit(*entries) : entries.failure();
    if (!swapped.ok()) {
        if (entries.ok())
            qDebug().noquote() << "Failed to swap the release in:" << swapped.message();
        fail(entries.ok() ? QStringLiteral("Some files could not be updated") : swapped.message());
        return;
    }
    ended = true;
    emit status(QStringLiteral("Update completed successfully!"));
    emit finished();
}

void LauncherUpdater::abandon()
{
    if (ended)
        return;
    ended = true;
    failed = true;
    dropRelease();
}

void LauncherUpdater::dropRelease()
{
    // Nothing of the release stays behind: the next run starts from the old one.
    if (package)
        package->close();
    if (swap) {
        const Status cleaned = swap->recover();
        if (!cleaned.ok())
            qWarning().noquote() << "Update left unfinished:" << cleaned.message();
    }
}

void LauncherUpdater::writePackageData(QNetworkReply *reply)
{
    char buffer[64 * 1024];
    for (;;) {
        const qint64 length = reply->read(buffer, sizeof buffer);
        if (length <= 0)
            return;
        if (!packageWriteFailed && package->write(buffer, length) != length)
            packageWriteFailed = true;
    }
}

void LauncherUpdater::fail(const QString &message)
{
    // Also logged: an elevated copy's window may be all the user sees of it.
    qWarning().noquote() << "Update failed:" << message;
    failed = true;
    ended = true;
    dropRelease();
    emit error(message);
    emit finished();
}
