#include "transfer.h"

#include "checksum.h"
#include "stagedfile.h"
#include "transferfailure.h"

#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <utility>

namespace {

// Fewer, larger reads: the socket is drained in a few calls per file.
constexpr long receiveBufferBytes = 512 * 1024;
constexpr int maxRedirects = 5;

bool headerIs(QByteArrayView line, QByteArrayView name)
{
    return line.size() > name.size() && line.at(name.size()) == ':' &&
           qstrnicmp(line.data(), name.data(), name.size()) == 0;
}

QByteArray headerValue(QByteArrayView line, qsizetype nameSize)
{
    return line.sliced(nameSize + 1).trimmed().toByteArray();
}

} // namespace

Transfer::Transfer(Listener &listener) : listener(listener) {}

Transfer::~Transfer()
{
    if (headers)
        curl_slist_free_all(headers);
}

qint64 Transfer::nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Result<bool> Transfer::prepare(const DownloadItem &item, const QString &recordFolder)
{
    file = item;
    // A leftover link must not carry the download to a file elsewhere.
    if (QFileInfo(item.stagingPath).isSymLink())
        QFile::remove(item.stagingPath);

    // An empty file's content is known: no request.
    if (item.size == 0) {
        QFile empty(item.stagingPath);
        if (!empty.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return Result<bool>::fail(
                Failure::Kind::FileSystem,
                QStringLiteral("Could not create temporary file for download"));
        empty.close();
        if (item.checksum != crc32Hex(0)) {
            QFile::remove(item.stagingPath);
            return Result<bool>::fail(Failure::Kind::InvalidData,
                                      FileSink::verificationFailedMessage());
        }
        return false;
    }

    url = item.url.toEncoded();
    record.emplace(recordFolder, item.key);
    rangeStart = 0;
    placed = false;
    recordWritten = false;
    status = 0;
    reason.clear();
    etag.clear();
    lastModified.clear();
    contentRange.clear();
    failure.reset();
    errorText[0] = '\0';

    // A part left by an earlier run is continued only under the validator it was begun with.
    qint64 keep = 0;
    quint32 keptCrc = 0;
    const QByteArray recorded = record->read(url);
    const QFileInfo staged(item.stagingPath);
    if (item.size > 0 && staged.isFile() && staged.size() > 0 &&
        (!recorded.isEmpty() || staged.size() == item.size)) {
        const StagedStart start = inspectStagedFile(item.stagingPath, item.size, item.checksum);
        if (start.kind == StagedStart::Kind::Complete) {
            record->remove();
            return false;
        }
        if (start.kind == StagedStart::Kind::Resume && !recorded.isEmpty()) {
            keep = start.bytes;
            keptCrc = start.crc;
            recordWritten = true;
        }
    }
    if (const Status opened = sink.open(item.stagingPath, item.size, keep, keptCrc); !opened)
        return opened.failure();
    rangeStart = keep;

    if (headers)
        curl_slist_free_all(headers);
    // Files are checked by the CRC of their own bytes: ask for them as stored.
    headers = curl_slist_append(nullptr, "Accept-Encoding: identity");
    if (keep > 0)
        headers = curl_slist_append(headers, QByteArray("If-Range: " + recorded).constData());
    return true;
}

void Transfer::attach(CURL *handle, CURLSH *share, const Options &options)
{
    easy = handle;
    const bool secure = file.url.scheme() == QLatin1String("https");
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
    curl_easy_setopt(easy, CURLOPT_SHARE, share);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, long(maxRedirects));
    // Never to a less safe scheme.
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
    curl_easy_setopt(easy, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
    if (!options.caFile.isEmpty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, options.caFile.constData());
    if (!options.caPath.isEmpty())
        curl_easy_setopt(easy, CURLOPT_CAPATH, options.caPath.constData());
#if defined(Q_OS_WIN)
    curl_easy_setopt(easy, CURLOPT_SSL_OPTIONS, long(CURLSSLOPT_NATIVE_CA));
#endif
    curl_easy_setopt(easy, CURLOPT_USERAGENT, options.userAgent.constData());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    if (rangeStart > 0)
        curl_easy_setopt(easy, CURLOPT_RANGE,
                         QByteArray(QByteArray::number(rangeStart) + '-').constData());
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, receiveBufferBytes);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
    lastActivity = nowMs();
}

CURL *Transfer::release()
{
    sink.close();
    if (headers) {
        curl_slist_free_all(headers);
        headers = nullptr;
    }
    return std::exchange(easy, nullptr);
}

size_t Transfer::onHeader(char *buffer, size_t size, size_t count, void *userdata)
{
    auto *transfer = static_cast<Transfer *>(userdata);
    const size_t length = size * count;
    transfer->lastActivity = nowMs();
    const QByteArrayView line = QByteArrayView(buffer, qsizetype(length)).trimmed();
    if (line.startsWith("HTTP/")) {
        // Each answer of a redirect chain starts afresh.
        const qsizetype space = line.indexOf(' ');
        const QByteArrayView rest = space < 0 ? QByteArrayView() : line.sliced(space + 1);
        const qsizetype reasonStart = rest.indexOf(' ');
        transfer->status = (reasonStart < 0 ? rest : rest.first(reasonStart)).toByteArray().toInt();
        transfer->reason =
            reasonStart < 0 ? QByteArray() : rest.sliced(reasonStart + 1).trimmed().toByteArray();
        transfer->etag.clear();
        transfer->lastModified.clear();
        transfer->contentRange.clear();
        transfer->listener.answerStarted();
    } else if (headerIs(line, "etag")) {
        transfer->etag = headerValue(line, 4);
    } else if (headerIs(line, "last-modified")) {
        transfer->lastModified = headerValue(line, 13);
    } else if (headerIs(line, "content-range")) {
        transfer->contentRange = headerValue(line, 13);
    }
    return length;
}

size_t Transfer::onBody(char *buffer, size_t size, size_t count, void *userdata)
{
    auto *transfer = static_cast<Transfer *>(userdata);
    const size_t length = size * count;
    transfer->lastActivity = nowMs();
    // The staged part is longer than the server's file: the body is not the file.
    if (transfer->status == 416 && transfer->rangeStart > 0)
        return length;
    if (!transfer->placed) {
        if (const Status placed = transfer->place(); !placed) {
            transfer->failure = placed.failure();
            return 0;
        }
    }
    if (const Status appended = transfer->sink.append(buffer, qint64(length)); !appended) {
        transfer->failure = appended.failure();
        return 0;
    }
    transfer->listener.bytesStaged(qint64(length));
    return length;
}

// A strong ETag, else Last-Modified: what If-Range may carry.
QByteArray Transfer::validator() const
{
    if (!etag.isEmpty() && !etag.startsWith("W/"))
        return etag;
    return lastModified;
}

// Decides, at the answer's first body byte (or its end), where the body goes.
Status Transfer::place()
{
    placed = true;
    if (status >= 400)
        return Status::fail(Failure::Kind::Server,
                            httpFailureText(status, reason, effectiveUrl(easy)));
    const auto recordOnFirstWrite = [this] {
        recordWritten = true;
        return record->write(url, validator());
    };
    if (rangeStart == 0) {
        sink.setBeforeFirstWrite(recordOnFirstWrite);
        return {};
    }
    switch (classifyRangeAnswer(status, contentRange, rangeStart)) {
    case RangeAnswer::Append:
        listener.bytesStaged(rangeStart);
        return {};
    case RangeAnswer::Restart:
        // The validator no longer matched: another build of the file, from its first byte.
        rangeStart = 0;
        if (const Status restarted = sink.restart(); !restarted)
            return restarted;
        record->remove();
        recordWritten = false;
        sink.setBeforeFirstWrite(recordOnFirstWrite);
        return {};
    case RangeAnswer::Refused:
        break;
    }
    return Status::fail(Failure::Kind::Server, FileSink::verificationFailedMessage());
}

Result<Transfer::End> Transfer::end(CURLcode code, const QString &stalledMessage)
{
    std::optional<Failure> failed = failure;
    if (!failed && code != CURLE_OK)
        failed = curlFailure(code, easy, errorText, stalledMessage);
    if (!failed && status == 416 && rangeStart > 0) {
        // The staged part is longer than the server's file.
        discard();
        return End::StartOver;
    }
    if (!failed && !placed) {
        if (const Status placedNow = place(); !placedNow)
            failed = placedNow.failure();
    }
    if (!failed) {
        const Status stored = sink.finish();
        if (!stored)
            failed = stored.failure();
        else if ((file.size >= 0 && sink.size() != file.size) ||
                 (!file.checkedByCaller && crc32Hex(sink.crc()) != file.checksum))
            failed = Failure{Failure::Kind::InvalidData, FileSink::verificationFailedMessage()};
    }
    if (failed) {
        if (failed->kind == Failure::Kind::InvalidData ||
            failed->message == FileSink::verificationFailedMessage())
            discard();
        return *failed;
    }
    if (recordWritten)
        record->remove();
    return End::Staged;
}

void Transfer::discard()
{
    sink.close();
    record->remove();
    QFile::remove(file.stagingPath);
}
