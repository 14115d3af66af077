#include "checksum.h"
#include "executablebits.h"
#include "platform/platform.h"
#include "settings.h"
#include "stagedfile.h"
#include "updater.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QNetworkRequest>
#include <QSet>
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

const QString emptyChecksum = crc32Hex(0);

} // namespace

void Updater::startUpdate()
{
    switch (engineState) {
    case State::Downloading:
        emit noUpdateAvailable();
        return;
    case State::Checking:
    case State::Verifying:
    case State::MovingFiles:
    case State::Uninstalling:
        // The check under way will answer; a run would stage files a mover may be taking away.
        return;
    case State::Idle:
        break;
    }
    if (recheckRequired) {
        checkForUpdates();
        return;
    }
    if (filesToDownload.isEmpty()) {
        emit noUpdateAvailable();
        return;
    }
    if (isGameRunning()) {
        emit downloadError(QStringLiteral("Update cannot be performed while the game is running. "
                                          "Please close the game before updating."));
        return;
    }
    if (!preparePrivateFolders().ok) {
        emit stateChanged(runEndState());
        emit downloadError(QStringLiteral("Could not create directory path for download"));
        return;
    }

    setState(State::Downloading);
    checkedKeys.clear();
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
    createdFolders.clear();

    speed.restart(QDateTime::currentMSecsSinceEpoch());
    emit stateChanged(isInstalled() ? QStringLiteral("updating") : QStringLiteral("installing"));
    emit overallProgress(0, totalBytes);
    downloadNextFile();
    // Every file may have been staged without a request (empty or already complete).
    if (engineState == State::Downloading && activeDownloads.isEmpty() &&
        pendingDownloads.isEmpty() && nextFileIndex >= filesToDownload.size())
        completeRun();
}

void Updater::downloadNextFile()
{
    while (engineState == State::Downloading && activeDownloads.size() < slotLimit() &&
           nextFileIndex < filesToDownload.size()) {
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

    // A file that cannot even be created fails the run: nothing of it is moved in.
    const QString path = stagingPath(filePath);
    // A run stages thousands of files into a few folders: create each once.
    const QString folder = QFileInfo(path).absolutePath();
    if (!createdFolders.contains(folder)) {
        if (!QDir().mkpath(folder)) {
            failRun(QStringLiteral("Could not create directory path for download"));
            return;
        }
        createdFolders.insert(folder);
    }

    // A leftover link must not carry the download to a file elsewhere.
    if (QFileInfo(path).isSymLink())
        QFile::remove(path);

    const QJsonObject entry = manifestFiles.value(filePath).toObject();
    const QString checksum = entry.value(QLatin1String("checksum")).toString();
    const qint64 expectedSize = manifestSize(filePath);
    // An empty file's content is known: it needs no request, and the empty
    // answers some servers give over HTTP/2 have upset Qt 6.4 before.
    const bool knownEmpty = entry.value(QLatin1String("size")).isDouble() && expectedSize == 0 &&
                            checksum == emptyChecksum;
    const StagedStart staged =
        knownEmpty ? StagedStart() : inspectStagedFile(path, expectedSize, checksum);
    if (knownEmpty || staged.kind == StagedStart::Kind::Complete) {
        QFile file(path);
        if (knownEmpty && !file.open(QIODevice::WriteOnly)) {
            failRun(QStringLiteral("Could not create temporary file for download"));
            return;
        }
        checkedKeys.insert(filePath);
        fileBytesReceived[filePath] = staged.bytes;
        totalBytesReceived += staged.bytes;
        return;
    }

    auto *file = new QFile(path);
    const bool resume = staged.kind == StagedStart::Kind::Resume;
    // A resumed file keeps its bytes; anything else starts empty.
    if (!file->open(resume ? QIODevice::ReadWrite : QIODevice::WriteOnly) ||
        (resume && !file->seek(staged.bytes))) {
        delete file;
        failRun(QStringLiteral("Could not create temporary file for download"));
        return;
    }

    QNetworkReply *reply = sendRequest(url, Purpose::File, resume ? staged.bytes : 0);
    reply->setReadBufferSize(replyBufferBytes);
    DownloadInfo info;
    info.filePath = filePath;
    info.checksum = checksum;
    info.file = file;
    info.expectedSize = expectedSize;
    if (resume) {
        info.rangeStart = staged.bytes;
        info.bytesWritten = staged.bytes;
        info.crc = staged.crc;
    }
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
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
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
            refuseOversizedDownload(reply);
            return;
        }
        if (it->file->write(buffer, length) != length)
            break;
        it->bytesWritten += length;
        // A write that fell short stops the download, so these are the file's bytes.
        it->crc = crc32Update(it->crc, buffer, length);
    }

    failRun(QStringLiteral("Failed to write download data to file"));
}

// Decides where the body's bytes go: after the staged ones (206 for the range
// asked for) or from the start (a server that ignores ranges answers 200).
bool Updater::placeBody(QNetworkReply *reply, DownloadInfo &info, int status)
{
    info.bodyPlaced = true;
    if (info.rangeStart == 0)
        return true;
    switch (classifyRangeAnswer(status, reply->rawHeader("Content-Range"), info.rangeStart)) {
    case RangeAnswer::Append:
        info.baseBytes = info.rangeStart;
        fileBytesReceived[info.filePath] = info.baseBytes;
        totalBytesReceived += info.baseBytes;
        return true;
    case RangeAnswer::Restart:
        if (!info.file->resize(0) || !info.file->seek(0)) {
            rejectDownload(reply, QStringLiteral("Failed to write download data to file"));
            return false;
        }
        info.bytesWritten = 0;
        info.crc = 0;
        return true;
    case RangeAnswer::Refused:
        break;
    }
    qWarning().noquote() << "Unusable answer to a resumed download:" << info.filePath << status;
    rejectDownload(reply, QStringLiteral("File verification failed"));
    return false;
}

void Updater::refuseOversizedDownload(QNetworkReply *reply)
{
    qWarning().noquote() << "Download larger than its manifest size:"
                         << activeDownloads.value(reply).filePath;
    rejectDownload(reply, QStringLiteral("File verification failed"));
}

// A staged file known to be wrong is worth nothing to a later run.
void Updater::rejectDownload(QNetworkReply *reply, const QString &message)
{
    const QString staged = stagingPath(activeDownloads.value(reply).filePath);
    failRun(message);
    QFile::remove(staged);
}

void Updater::onDownloadProgress(QNetworkReply *reply, qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesTotal);
    const auto it = activeDownloads.constFind(reply);
    if (it == activeDownloads.constEnd() || !it->bodyPlaced)
        return;

    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    qint64 delta = bytesReceived - lastBytesPerReply.value(reply, 0);
    if (delta > 0) {
        // Kept as a running sum: the same as adding up every file, without the walk.
        const qint64 fileBytes = it->baseBytes + bytesReceived;
        totalBytesReceived += fileBytes - fileBytesReceived.value(it->filePath, 0);
        fileBytesReceived[it->filePath] = fileBytes;
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

    if (QCoreApplication::closingDown() || engineState != State::Downloading)
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
    const auto found = activeDownloads.constFind(reply);
    if (found == activeDownloads.constEnd())
        return;

    if (reply->error() != QNetworkReply::NoError) {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        // The staged part is longer than the server's file: it changed; start over.
        if (status == 416 && found->rangeStart > 0) {
            const QString key = found->filePath;
            releaseDownload(reply);
            QFile::remove(stagingPath(key));
            startDownload(fileUrl(key), key);
            return;
        }
        failRun(isStall(reply->error()) ? stalledServerMessage() : reply->errorString());
        return;
    }

    writeDownloadData(reply);
    if (!activeDownloads.contains(reply))
        return; // refused or failed while writing the rest
    DownloadInfo &info = activeDownloads[reply];
    if (!info.bodyPlaced &&
        !placeBody(reply, info, reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt()))
        return; // a resumed file answered with no body at all
    // The checksum was taken over what was handed to the file; buffered bytes that
    // could not reach the disk must fail the file just as a re-read would have.
    const bool stored = info.file->flush() && info.file->error() == QFileDevice::NoError;
    info.file->close();
    const QString fileName = info.file->fileName();
    const QString filePath = info.filePath;
    const qint64 onDisk = QFileInfo(fileName).size();
    // The bytes on disk are what gets installed: read them back, in case anything
    // else wrote to the file meanwhile.
    if (!stored || onDisk != info.bytesWritten || crc32Hex(info.crc) != info.checksum ||
        fileChecksum(fileName) != info.checksum) {
        rejectDownload(reply, QStringLiteral("File verification failed"));
        return;
    }
    checkedKeys.insert(filePath);

    const qint64 size = info.expectedSize;
    bool wasLargestRunning = true;
    for (auto it = activeDownloads.constBegin(); it != activeDownloads.constEnd(); ++it) {
        if (it.key() != reply && it->expectedSize > size) {
            wasLargestRunning = false;
            break;
        }
    }

    onDownloadProgress(reply, onDisk - info.baseBytes, size);
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

    if (engineState == State::Downloading && activeDownloads.isEmpty() &&
        pendingDownloads.isEmpty() && nextFileIndex >= filesToDownload.size())
        completeRun();
}

QString Updater::runEndState()
{
    return isInstalled() ? QStringLiteral("update") : QStringLiteral("install");
}

void Updater::failRun(const QString &message)
{
    // Every file of the run stays staged; checked ones are reused by the next verification.
    cancelAllDownloads();
    setState(State::Idle);
    if (QCoreApplication::closingDown())
        return;
    emit stateChanged(runEndState());
    emit downloadError(message);
}

void Updater::completeRun()
{
    // Read by nothing; kept in the player's own folder, since a fixed name in the
    // shared temporary folder may be a link another user planted there.
    if (preparePrivateFolders().ok) {
        QFile marker(
            QDir::toNativeSeparators(privateDirectory() + QStringLiteral("/.initcomplete")));
        if (marker.open(QIODevice::WriteOnly))
            marker.close();
    }

    QSet<QString> keys = checkedKeys;
    keys.unite(stagedValid);
    setState(State::Idle);
    switch (moveCheckedFilesIn(keys)) {
    case MoveIn::Installed:
    case MoveIn::NothingStaged:
        emit updateComplete();
        break;
    case MoveIn::GameRunning:
    case MoveIn::Failed:
        recheckRequired = true;
        emit stateChanged(runEndState());
        break;
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
}
