#include "checksum.h"
#include "settings.h"
#include "updater.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QNetworkRequest>
#include <QSet>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

int maxConcurrentDownloads = QThread::idealThreadCount();

namespace {

int slotLimit()
{
    return qMax(maxConcurrentDownloads, 1);
}

} // namespace

void Updater::startUpdate()
{
    // A run would stage files while a mover may be taking them away; the
    // window cannot ask for one then, so there is nothing to answer.
    if (movingFiles)
        return;
    if (recheckRequired) {
        checkForUpdates();
        return;
    }
    if (isUpdating || filesToDownload.isEmpty()) {
        emit noUpdateAvailable();
        return;
    }
    if (isGameRunning()) {
        emit downloadError(QStringLiteral("Update cannot be performed while the game is running. "
                                          "Please close the game before updating."));
        return;
    }

    isUpdating = true;
    nextFileIndex = 0;
    totalBytesReceived = 0;
    totalBytes = 0;
    fileBytesReceived.clear();

    // The largest file goes first so it does not end up alone at the tail of the run.
    QString largestKey;
    qint64 largestSize = 0;
    for (const QString &key : std::as_const(filesToDownload)) {
        const qint64 size = manifestSize(key);
        totalBytes += size;
        if (size > largestSize) {
            largestSize = size;
            largestKey = key;
        }
    }
    if (!largestKey.isNull()) {
        filesToDownload.removeOne(largestKey);
        filesToDownload.prepend(largestKey);
    }

    speed.restart(QDateTime::currentMSecsSinceEpoch());
    emit stateChanged(isInstalled() ? QStringLiteral("updating") : QStringLiteral("installing"));
    emit overallProgress(0, totalBytes);
    downloadNextFile();
}

void Updater::downloadNextFile()
{
    while (activeDownloads.size() < slotLimit() && nextFileIndex < filesToDownload.size()) {
        const QString key = filesToDownload.at(nextFileIndex);
        startDownload(fileUrl(key), key);
        ++nextFileIndex;
    }
}

void Updater::startDownload(const QUrl &url, const QString &filePath)
{
    if (activeDownloads.size() >= slotLimit()) {
        pendingDownloads.append({url, filePath});
        return;
    }

    const QString path = stagingPath(filePath);
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        emit downloadError(QStringLiteral("Could not create directory path for download"));
        return;
    }
    auto *file = new QFile(path);
    if (!file->open(QIODevice::WriteOnly)) {
        delete file;
        emit downloadError(QStringLiteral("Could not create temporary file for download"));
        return;
    }

    QNetworkReply *reply = sendRequest(url, Purpose::File);
    DownloadInfo info;
    info.filePath = filePath;
    info.checksum =
        manifestFiles.value(filePath).toObject().value(QLatin1String("checksum")).toString();
    info.file = file;
    info.expectedSize = manifestSize(filePath);
    activeDownloads.insert(reply, info);

    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { writeDownloadData(reply); });
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this, reply](qint64 received, qint64 total) {
                onDownloadProgress(reply, received, total);
            });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onDownloadFinished(reply); });
}

void Updater::writeDownloadData(QNetworkReply *reply)
{
    auto it = activeDownloads.find(reply);
    if (it == activeDownloads.end())
        return;
    const QByteArray data = reply->readAll();
    if (data.isEmpty())
        return;
    // An error page is not the file; the failure is handled when the reply finishes.
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() >= 400)
        return;

    // More than the manifest promised: a broken or hostile server must not fill the disk.
    if (it->expectedSize > 0 && it->bytesWritten + data.size() > it->expectedSize) {
        refuseOversizedDownload(reply);
        return;
    }

    const qint64 written = it->file->write(data);
    if (written == data.size()) {
        it->bytesWritten += written;
        return;
    }

    emit downloadError(QStringLiteral("Failed to write download data to file"));
    releaseDownload(reply);
    // With nothing left running no download can finish, so the run would never end.
    if (isUpdating && activeDownloads.isEmpty()) {
        isUpdating = false;
        pendingDownloads.clear();
        emit stateChanged(QStringLiteral("update"));
    }
}

void Updater::refuseOversizedDownload(QNetworkReply *reply)
{
    qWarning().noquote() << "Download larger than its manifest size:"
                         << activeDownloads.value(reply).filePath;
    emit downloadError(QStringLiteral("File verification failed"));
    cancelAllDownloads();
}

void Updater::onDownloadProgress(QNetworkReply *reply, qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesTotal);
    const auto it = activeDownloads.constFind(reply);
    if (it == activeDownloads.constEnd())
        return;

    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    qint64 delta = bytesReceived - lastBytesPerReply.value(reply, 0);
    if (delta > 0) {
        // Kept as a running sum: the same as adding up every file, without the walk.
        totalBytesReceived += bytesReceived - fileBytesReceived.value(it->filePath, 0);
        fileBytesReceived[it->filePath] = bytesReceived;
    } else {
        delta = 0;
    }
    lastBytesPerReply[reply] = bytesReceived;

    switch (speed.add(now, delta)) {
    case DownloadSpeed::Report::Speed: {
        const qint64 average = speed.average();
        QMetaObject::invokeMethod(
            this, [this, average] { emit downloadProgress(average); }, Qt::QueuedConnection);
        break;
    }
    case DownloadSpeed::Report::Overall:
        QMetaObject::invokeMethod(
            this, [this] { emit overallProgress(totalBytesReceived, totalBytes); },
            Qt::QueuedConnection);
        break;
    case DownloadSpeed::Report::None:
        break;
    }
}

void Updater::abandonReply(QNetworkReply *reply, DownloadInfo &info)
{
    QObject::disconnect(reply, nullptr, nullptr, nullptr);
    if (info.file) {
        info.file->close();
        delete info.file;
        info.file = nullptr;
    }
    lastBytesPerReply.remove(reply);
    reply->abort();
    reply->close();
    QTimer::singleShot(0, reply, &QObject::deleteLater);
}

void Updater::releaseDownload(QNetworkReply *reply)
{
    if (!reply)
        return;
    auto it = activeDownloads.find(reply);
    if (it == activeDownloads.end())
        return;
    DownloadInfo info = it.value();
    activeDownloads.erase(it);
    abandonReply(reply, info);

    if (QCoreApplication::closingDown() || !isUpdating)
        return;
    while (activeDownloads.size() < slotLimit() && !pendingDownloads.isEmpty()) {
        const PendingDownload next = pendingDownloads.takeFirst();
        startDownload(next.url, next.filePath);
    }
}

void Updater::onDownloadFinished(QNetworkReply *reply)
{
    if (QCoreApplication::closingDown()) {
        releaseDownload(reply);
        return;
    }
    if (!activeDownloads.contains(reply))
        return;

    if (reply->error() != QNetworkReply::NoError) {
        const QString message =
            isStall(reply->error()) ? stalledServerMessage() : reply->errorString();
        isUpdating = false;
        releaseDownload(reply);
        pendingDownloads.clear();
        const auto others = activeDownloads;
        activeDownloads.clear();
        for (auto other = others.begin(); other != others.end(); ++other) {
            DownloadInfo info = other.value();
            abandonReply(other.key(), info);
        }
        if (!QCoreApplication::closingDown()) {
            emit stateChanged(QStringLiteral("update"));
            emit downloadError(message);
        }
        return;
    }

    writeDownloadData(reply);
    if (!activeDownloads.contains(reply))
        return; // refused or failed while writing the rest
    DownloadInfo &info = activeDownloads[reply];
    info.file->flush();
    info.file->close();
    const QString fileName = info.file->fileName();
    const QString filePath = info.filePath;
    if (fileChecksum(fileName) != info.checksum) {
        emit downloadError(QStringLiteral("File verification failed"));
        cancelAllDownloads();
        return;
    }

    const qint64 size = manifestSize(filePath);
    bool wasLargestRunning = true;
    for (auto it = activeDownloads.constBegin(); it != activeDownloads.constEnd(); ++it) {
        if (it.key() != reply && manifestSize(it->filePath) > size) {
            wasLargestRunning = false;
            break;
        }
    }

    onDownloadProgress(reply, QFileInfo(fileName).size(), size);
    releaseDownload(reply);

    // Keep the big files moving: the largest file not yet started takes the freed slot.
    if (wasLargestRunning) {
        QSet<QString> running;
        for (const DownloadInfo &active : std::as_const(activeDownloads))
            running.insert(active.filePath);
        int bestIndex = -1;
        qint64 bestSize = 0;
        for (int i = nextFileIndex; i < filesToDownload.size(); ++i) {
            const QString &key = filesToDownload.at(i);
            const qint64 candidate = manifestSize(key);
            if (candidate > bestSize && !running.contains(key)) {
                bestSize = candidate;
                bestIndex = i;
            }
        }
        if (bestIndex >= 0) {
            const QString key = filesToDownload.at(bestIndex);
            startDownload(fileUrl(key), key);
            const qsizetype first = filesToDownload.indexOf(key);
            if (first >= nextFileIndex) {
                filesToDownload.removeAt(first);
                filesToDownload.insert(nextFileIndex, key);
                ++nextFileIndex;
            }
        }
    }

    while (!pendingDownloads.isEmpty() && activeDownloads.size() < slotLimit()) {
        const PendingDownload next = pendingDownloads.takeFirst();
        startDownload(next.url, next.filePath);
    }
    downloadNextFile();

    if (activeDownloads.isEmpty() && pendingDownloads.isEmpty() &&
        nextFileIndex >= filesToDownload.size())
        completeRun();
}

void Updater::completeRun()
{
    isUpdating = false;

    const QString temp = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    QFile marker(
        QDir::toNativeSeparators(QDir::cleanPath(temp + QStringLiteral("/.initcomplete"))));
    if (marker.open(QIODevice::WriteOnly))
        marker.close();

    const QString source = stagingDirectory();
    const QString destination = Settings::installPath();
    if (installFiles(source, destination, {})) {
        emit updateComplete();
    } else {
        emit stateChanged(QStringLiteral("update"));
        recheckRequired = true;
    }
}

void Updater::cancelAllDownloads()
{
    const QList<QNetworkReply *> replies = activeDownloads.keys();
    for (QNetworkReply *reply : replies)
        abandonReply(reply, activeDownloads[reply]);

    activeDownloads.clear();
    pendingDownloads.clear();
    fileBytesReceived.clear();
    lastBytesPerReply.clear();
    totalBytesReceived = 0;
    nextFileIndex = 0;
    isUpdating = false;

    if (!QCoreApplication::closingDown())
        emit stateChanged(QStringLiteral("update"));
}
