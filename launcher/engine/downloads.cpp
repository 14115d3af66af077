#include "checksum.h"
#include "executablebits.h"
#include "platform/platform.h"
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

#include <algorithm>

int maxConcurrentDownloads = QThread::idealThreadCount();

namespace {

// Bounds what a reply holds in memory: past it Qt stops reading the socket until
// we have written the data out, so peak memory does not follow the file sizes.
constexpr qint64 replyBufferBytes = 1024 * 1024;
constexpr qint64 readChunkBytes = 256 * 1024;

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
    QList<QPair<qint64, QString>> sized;
    sized.reserve(filesToDownload.size());
    QString largestKey;
    qint64 largestSize = 0;
    for (const QString &key : std::as_const(filesToDownload)) {
        const qint64 size = manifestSize(key);
        totalBytes += size;
        if (size > 0)
            sized.append({size, key});
        if (size > largestSize) {
            largestSize = size;
            largestKey = key;
        }
    }
    if (!largestKey.isNull()) {
        filesToDownload.removeOne(largestKey);
        filesToDownload.prepend(largestKey);
        const auto largest = std::find_if(sized.begin(), sized.end(), [&](const auto &entry) {
            return entry.second == largestKey;
        });
        std::rotate(sized.begin(), largest, largest + 1);
    }
    // Stable, so equal sizes keep their list order: the first of them is the one taken.
    std::stable_sort(sized.begin(), sized.end(),
                     [](const auto &a, const auto &b) { return a.first > b.first; });
    keysBySize.clear();
    keysBySize.reserve(sized.size());
    for (const auto &entry : std::as_const(sized))
        keysBySize.append(entry.second);
    keysBySizeCursor = 0;
    startedKeys.clear();

    speed.restart(QDateTime::currentMSecsSinceEpoch());
    emit stateChanged(isInstalled() ? QStringLiteral("updating") : QStringLiteral("installing"));
    emit overallProgress(0, totalBytes);
    downloadNextFile();
}

void Updater::downloadNextFile()
{
    while (activeDownloads.size() < slotLimit() && nextFileIndex < filesToDownload.size()) {
        const QString key = filesToDownload.at(nextFileIndex);
        takeKey(key);
        startDownload(fileUrl(key), key);
        ++nextFileIndex;
    }
}

// A key leaves filesToDownload[nextFileIndex...] whether or not its start succeeds.
void Updater::takeKey(const QString &key)
{
    startedKeys.insert(key);
}

// The largest waiting key above size 0 that is not running, the first of equal
// sizes; a null string when there is none.
QString Updater::largestWaitingKey()
{
    while (keysBySizeCursor < keysBySize.size() &&
           startedKeys.contains(keysBySize.at(keysBySizeCursor)))
        ++keysBySizeCursor;
    for (qsizetype i = keysBySizeCursor; i < keysBySize.size(); ++i) {
        const QString &key = keysBySize.at(i);
        if (startedKeys.contains(key))
            continue;
        const bool running =
            std::any_of(activeDownloads.cbegin(), activeDownloads.cend(),
                        [&key](const DownloadInfo &active) { return active.filePath == key; });
        if (!running)
            return key;
    }
    return {};
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
    reply->setReadBufferSize(replyBufferBytes);
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
    if (!readBuffer) {
        readBuffer.reset(static_cast<char *>(std::aligned_alloc(4096, readChunkBytes)));
        if (!readBuffer)
            qFatal("Out of memory for the download buffer");
    }
    char *const buffer = readBuffer.get();
    // An error page is not the file; the failure is handled when the reply finishes.
    // It is still drained, or a full read buffer would hold the reply open.
    const bool errorPage =
        reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() >= 400;

    for (;;) {
        const qint64 length = reply->read(buffer, readChunkBytes);
        if (length <= 0)
            return;
        if (errorPage)
            continue;
        // More than the manifest promised: a broken or hostile server must not fill the disk.
        if (it->expectedSize > 0 && it->bytesWritten + length > it->expectedSize) {
            refuseOversizedDownload(reply);
            return;
        }
        if (it->file->write(buffer, length) != length)
            break;
        it->bytesWritten += length;
        // A write that fell short stops the download, so these are the file's bytes.
        it->crc = crc32Update(it->crc, buffer, length);
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
    // The checksum was taken over what was handed to the file; buffered bytes that
    // could not reach the disk must fail the file just as a re-read would have.
    const bool stored = info.file->flush() && info.file->error() == QFileDevice::NoError;
    info.file->close();
    const QString fileName = info.file->fileName();
    const QString filePath = info.filePath;
    const qint64 onDisk = QFileInfo(fileName).size();
    if (!stored || onDisk != info.bytesWritten || crc32Hex(info.crc) != info.checksum) {
        emit downloadError(QStringLiteral("File verification failed"));
        cancelAllDownloads();
        return;
    }

    const qint64 size = info.expectedSize;
    bool wasLargestRunning = true;
    for (auto it = activeDownloads.constBegin(); it != activeDownloads.constEnd(); ++it) {
        if (it.key() != reply && it->expectedSize > size) {
            wasLargestRunning = false;
            break;
        }
    }

    onDownloadProgress(reply, onDisk, size);
    releaseDownload(reply);

    // Keep the big files moving: the largest file not yet started takes the freed slot.
    if (wasLargestRunning) {
        const QString key = largestWaitingKey();
        if (!key.isNull()) {
            takeKey(key);
            startDownload(fileUrl(key), key);
            const qsizetype first = filesToDownload.indexOf(key, nextFileIndex);
            if (first >= 0) {
                filesToDownload.move(first, nextFileIndex);
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
    grantExecuteBits(source, platform::executableFileName(Settings::instance->executableName));
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
