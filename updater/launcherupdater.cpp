#include "launcherupdater.h"

#include "inactivityguard.h"
#include "launcherrequest.h"
#include "packageextractor.h"
#include "platform/platform.h"
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
#include <QTemporaryFile>

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

    const QString launcherName = platform::executableFileName(settings.launcherExecutable);
    if (platform::stopProcessesInFolder(launcherName, targetFolder) == 0)
        qDebug() << "Failed to kill the launcher process";

    emit status(QStringLiteral("Downloading update..."));

    // The package is a zip: compressing it again gains nothing, and Qt's
    // decompression guard could refuse a well-compressing one.
    const QNetworkRequest request = launcherRequest(
        QUrl(updateUrl, QUrl::TolerantMode), settings.applicationName, BodyEncoding::Identity);
    package = new QTemporaryFile(this);
    if (!package->open()) {
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
    emit status(QStringLiteral("Extracting files..."));

    const PackageExtraction extraction = extractPackage(package->fileName(), targetFolder);
    if (!extraction.opened) {
        fail(QStringLiteral("Failed to open zip file"));
        return;
    }
    if (extraction.failedEntries > 0 || extraction.swapFailed) {
        fail(QStringLiteral("Some files could not be updated"));
        return;
    }
    emit status(QStringLiteral("Update completed successfully!"));
    emit finished();
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
    emit error(message);
    emit finished();
}
