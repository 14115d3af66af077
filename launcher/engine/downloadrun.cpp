#include "downloadrun.h"

#include "checksum.h"
#include "launcherrequest.h"
#include "settings.h"
#include "stagedfile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

namespace {

// Bounds what a reply holds in memory: past it Qt stops reading the socket until
// we have written the data out, so peak memory does not follow the file sizes.
constexpr qint64 replyBufferBytes = 1024 * 1024;
constexpr qint64 readChunkBytes = 256 * 1024;

const QString emptyChecksum = crc32Hex(0);

int statusOf(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

} // namespace

DownloadRun::DownloadRun(QNetworkAccessManager &network, QObject *parent)
    : QObject(parent), network(network)
{
}

DownloadRun::~DownloadRun()
{
    cancel();
}

void DownloadRun::start(QList<DownloadItem> items, int maxConcurrent)
{
    cancel();
    running = true;
    slotLimit = qMax(maxConcurrent, 1);
    totalBytes = 0;
    for (const DownloadItem &item : std::as_const(items))
        totalBytes += qMax<qint64>(item.size, 0);
    queue.reset(items);
    createdFolders.clear();
    speedMeter.restart(QDateTime::currentMSecsSinceEpoch());
    fillSlots();
    // Every file may have been staged without a request (empty or already complete).
    finishIfDone();
}

void DownloadRun::fillSlots()
{
    while (running && active.size() < slotLimit && !queue.atEnd())
        startItem(queue.takeNext());
}

void DownloadRun::startItem(const DownloadItem &item)
{
    if (active.size() >= slotLimit) {
        pending.append(item);
        return;
    }

    // A file that cannot even be created fails the run: nothing of it is moved in.
    const QString &path = item.stagingPath;
    // A run stages thousands of files into a few folders: create each once.
    const QString folder = QFileInfo(path).absolutePath();
    if (!createdFolders.contains(folder)) {
        if (!QDir().mkpath(folder)) {
            fail(QStringLiteral("Could not create directory path for download"));
            return;
        }
        createdFolders.insert(folder);
    }

    // A leftover link must not carry the download to a file elsewhere.
    if (QFileInfo(path).isSymLink())
        QFile::remove(path);

    const qint64 expectedSize = qMax<qint64>(item.size, 0);
    // An empty file's content is known: it needs no request, and the empty
    // answers some servers give over HTTP/2 have upset Qt 6.4 before.
    const bool knownEmpty = item.size == 0 && item.checksum == emptyChecksum;
    const StagedStart staged =
        knownEmpty ? StagedStart() : inspectStagedFile(path, expectedSize, item.checksum);
    if (knownEmpty || staged.kind == StagedStart::Kind::Complete) {
        QFile file(path);
        if (knownEmpty && !file.open(QIODevice::WriteOnly)) {
            fail(QStringLiteral("Could not create temporary file for download"));
            return;
        }
        fileBytesReceived[item.key] = staged.bytes;
        totalBytesReceived += staged.bytes;
        emit fileReady(item.key);
        return;
    }

    auto *file = new QFile(path);
    const bool resume = staged.kind == StagedStart::Kind::Resume;
    // A resumed file keeps its bytes; anything else starts empty.
    if (!file->open(resume ? QIODevice::ReadWrite : QIODevice::WriteOnly) ||
        (resume && !file->seek(staged.bytes))) {
        delete file;
        fail(QStringLiteral("Could not create temporary file for download"));
        return;
    }

    // Files are checked by the CRC of their own bytes: ask for them as stored.
    QNetworkRequest request =
        launcherRequest(item.url, Settings::instance->applicationName, BodyEncoding::Identity);
    if (resume)
        request.setRawHeader(QByteArrayLiteral("Range"),
                             "bytes=" + QByteArray::number(staged.bytes) + '-');
    QNetworkReply *reply = network.get(request);
    reply->setReadBufferSize(replyBufferBytes);
    connect(InactivityGuard::watch(reply, stallTimeoutMs), &InactivityGuard::stalled, this,
            [this](QNetworkReply *stalled) {
                if (active.contains(stalled))
                    fail(stalledServerMessage());
            });

    Transfer transfer;
    transfer.item = item;
    transfer.file = file;
    transfer.expectedSize = expectedSize;
    if (resume) {
        transfer.rangeStart = staged.bytes;
        transfer.bytesWritten = staged.bytes;
        transfer.crc = staged.crc;
    }
    active.insert(reply, transfer);

    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { writeData(reply); });
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this, reply](qint64 received, qint64) { onProgress(reply, received); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onFinished(reply); });
}

void DownloadRun::writeData(QNetworkReply *reply)
{
    auto it = active.find(reply);
    if (it == active.end())
        return;
    if (!readBuffer) {
        readBuffer.reset(static_cast<char *>(std::aligned_alloc(4096, readChunkBytes)));
        if (!readBuffer)
            qFatal("Out of memory for the download buffer");
    }
    char *const buffer = readBuffer.get();
    // An error page is not the file; the failure is handled when the reply finishes.
    // It is still drained, or a full read buffer would hold the reply open.
    const int status = statusOf(reply);
    const bool errorPage = status >= 400;
    if (!errorPage && !it->bodyPlaced && !placeBody(reply, *it, status))
        return;

    for (;;) {
        const qint64 length = reply->read(buffer, readChunkBytes);
        if (length <= 0)
            return;
        if (errorPage)
            continue;
        // More than the manifest promised: a broken or hostile server must not fill the disk.
        if (it->expectedSize > 0 && it->bytesWritten + length > it->expectedSize) {
            qWarning().noquote() << "Download larger than its manifest size:" << it->item.key;
            reject(reply, QStringLiteral("File verification failed"));
            return;
        }
        if (it->file->write(buffer, length) != length)
            break;
        it->bytesWritten += length;
        // A write that fell short stops the download, so these are the file's bytes.
        it->crc = crc32Update(it->crc, buffer, length);
    }

    fail(QStringLiteral("Failed to write download data to file"));
}

// Decides where the body's bytes go: after the staged ones (206 for the range
// asked for) or from the start (a server that ignores ranges answers 200).
bool DownloadRun::placeBody(QNetworkReply *reply, Transfer &transfer, int status)
{
    transfer.bodyPlaced = true;
    if (transfer.rangeStart == 0)
        return true;
    switch (classifyRangeAnswer(status, reply->rawHeader("Content-Range"), transfer.rangeStart)) {
    case RangeAnswer::Append:
        transfer.baseBytes = transfer.rangeStart;
        fileBytesReceived[transfer.item.key] = transfer.baseBytes;
        totalBytesReceived += transfer.baseBytes;
        return true;
    case RangeAnswer::Restart:
        if (!transfer.file->resize(0) || !transfer.file->seek(0)) {
            reject(reply, QStringLiteral("Failed to write download data to file"));
            return false;
        }
        transfer.bytesWritten = 0;
        transfer.crc = 0;
        return true;
    case RangeAnswer::Refused:
        break;
    }
    qWarning().noquote() << "Unusable answer to a resumed download:" << transfer.item.key << status;
    reject(reply, QStringLiteral("File verification failed"));
    return false;
}

// A staged file known to be wrong is worth nothing to a later run.
void DownloadRun::reject(QNetworkReply *reply, const QString &message)
{
    const QString staged = active.value(reply).item.stagingPath;
    cancel();
    QFile::remove(staged);
    running = false;
    emit failed(message);
}

void DownloadRun::onProgress(QNetworkReply *reply, qint64 bytesReceived)
{
    const auto it = active.constFind(reply);
    if (it == active.constEnd() || !it->bodyPlaced)
        return;

    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    qint64 delta = bytesReceived - lastBytesPerReply.value(reply, 0);
    if (delta > 0) {
        // Kept as a running sum: the same as adding up every file, without the walk.
        const qint64 fileBytes = it->baseBytes + bytesReceived;
        totalBytesReceived += fileBytes - fileBytesReceived.value(it->item.key, 0);
        fileBytesReceived[it->item.key] = fileBytes;
    } else {
        delta = 0;
    }
    lastBytesPerReply[reply] = bytesReceived;

    switch (speedMeter.add(now, delta)) {
    case DownloadSpeed::Report::Speed: {
        const qint64 average = speedMeter.average();
        QMetaObject::invokeMethod(
            this, [this, average] { emit speed(average); }, Qt::QueuedConnection);
        break;
    }
    case DownloadSpeed::Report::Overall:
        QMetaObject::invokeMethod(
            this, [this] { emit progress(totalBytesReceived, totalBytes); }, Qt::QueuedConnection);
        break;
    case DownloadSpeed::Report::None:
        break;
    }
}

void DownloadRun::abandon(QNetworkReply *reply, Transfer &transfer)
{
    QObject::disconnect(reply, nullptr, nullptr, nullptr);
    if (transfer.file) {
        transfer.file->close();
        delete transfer.file;
        transfer.file = nullptr;
    }
    lastBytesPerReply.remove(reply);
    reply->abort();
    reply->close();
    QTimer::singleShot(0, reply, &QObject::deleteLater);
}

void DownloadRun::release(QNetworkReply *reply)
{
    auto it = active.find(reply);
    if (it == active.end())
        return;
    Transfer transfer = it.value();
    active.erase(it);
    abandon(reply, transfer);

    if (QCoreApplication::closingDown() || !running)
        return;
    while (active.size() < slotLimit && !pending.isEmpty())
        startItem(pending.takeFirst());
}

QSet<QString> DownloadRun::runningKeys() const
{
    QSet<QString> keys;
    for (const Transfer &transfer : active)
        keys.insert(transfer.item.key);
    return keys;
}

void DownloadRun::onFinished(QNetworkReply *reply)
{
    if (QCoreApplication::closingDown()) {
        release(reply);
        return;
    }
    const auto found = active.constFind(reply);
    if (found == active.constEnd())
        return;

    if (reply->error() != QNetworkReply::NoError) {
        // The staged part is longer than the server's file: it changed; start over.
        if (statusOf(reply) == 416 && found->rangeStart > 0) {
            const DownloadItem item = found->item;
            release(reply);
            QFile::remove(item.stagingPath);
            startItem(item);
            return;
        }
        fail(InactivityGuard::hasStalled(reply) ? stalledServerMessage() : reply->errorString());
        return;
    }

    writeData(reply);
    if (!active.contains(reply))
        return; // refused or failed while writing the rest
    Transfer &transfer = active[reply];
    if (!transfer.bodyPlaced && !placeBody(reply, transfer, statusOf(reply)))
        return; // a resumed file answered with no body at all
    // The checksum was taken over what was handed to the file; buffered bytes that
    // could not reach the disk must fail the file just as a re-read would have.
    const bool stored = transfer.file->flush() && transfer.file->error() == QFileDevice::NoError;
    transfer.file->close();
    const QString fileName = transfer.file->fileName();
    const QString key = transfer.item.key;
    const QString &checksum = transfer.item.checksum;
    const qint64 onDisk = QFileInfo(fileName).size();
    // The bytes on disk are what gets installed: read them back, in case anything
    // else wrote to the file meanwhile.
    if (!stored || onDisk != transfer.bytesWritten || crc32Hex(transfer.crc) != checksum ||
        fileChecksum(fileName) != checksum) {
        reject(reply, QStringLiteral("File verification failed"));
        return;
    }

    const qint64 size = transfer.expectedSize;
    bool wasLargestRunning = true;
    for (auto it = active.constBegin(); it != active.constEnd(); ++it) {
        if (it.key() != reply && it->expectedSize > size) {
            wasLargestRunning = false;
            break;
        }
    }

    onProgress(reply, onDisk - transfer.baseBytes);
    emit fileReady(key);
    release(reply);

    // Keep the big files moving: the largest file not yet started takes the freed slot.
    if (wasLargestRunning && running) {
        if (const auto largest = queue.takeLargestWaiting(runningKeys()))
            startItem(*largest);
    }
    while (running && !pending.isEmpty() && active.size() < slotLimit)
        startItem(pending.takeFirst());
    fillSlots();
    finishIfDone();
}

void DownloadRun::finishIfDone()
{
    if (!running || !active.isEmpty() || !pending.isEmpty() || !queue.atEnd())
        return;
    running = false;
    emit finished();
}

void DownloadRun::fail(const QString &message)
{
    // Every file of the run stays staged; checked ones are reused by the next verification.
    cancel();
    emit failed(message);
}

void DownloadRun::cancel()
{
    const QList<QNetworkReply *> replies = active.keys();
    for (QNetworkReply *reply : replies)
        abandon(reply, active[reply]);

    running = false;
    active.clear();
    pending.clear();
    queue.clear();
    fileBytesReceived.clear();
    lastBytesPerReply.clear();
    totalBytesReceived = 0;
}
