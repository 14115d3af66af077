#include "transferpool.h"

#include "checksum.h"
#include "downloadqueue.h"
#include "downloadrun.h"
#include "downloadspeed.h"
#include "filesink.h"
#include "partrecord.h"
#include "stagedfile.h"
#include "transferfailure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QSet>

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

// Fewer, larger reads: the socket is drained in a few calls per file.
constexpr long receiveBufferBytes = 512 * 1024;
constexpr qint64 reportIntervalMs = 50;
constexpr int maxRedirects = 5;

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void initialiseCurl()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

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

// Everything below runs on the worker thread, except post() and the command queue.
class TransferPool::Worker final
{
public:
    explicit Worker(DownloadRun *owner);
    ~Worker();

    // Owner's thread.
    void startRun(Run run);
    void cancelRun();

private:
    struct Transfer
    {
        Worker *worker = nullptr;
        DownloadItem item;
        bool complete = false; // staged whole already: no request
        CURL *easy = nullptr;
        curl_slist *headers = nullptr;
        FileSink sink;
        std::optional<PartRecord> record;
        QByteArray url;
        qint64 rangeStart = 0; // staged bytes the request asked the rest after
        bool placed = false;   // the answer's status decided where the body goes
        bool recordWritten = false;
        int status = 0;
        QByteArray reason;
        QByteArray etag;
        QByteArray lastModified;
        QByteArray contentRange;
        qint64 lastActivityMs = 0;
        std::optional<Failure> failure; // why a callback stopped the transfer
        char errorText[CURL_ERROR_SIZE] = {};
    };

    enum class Command
    {
        None,
        Start,
        Cancel,
        Quit
    };

    void loop();
    void beginRun(Run next);
    void fill();
    bool startItem(const DownloadItem &item);
    Status prepareTransfer(Transfer &transfer);
    void configure(Transfer &transfer);
    void onDone(CURL *easy, CURLcode code);
    Status place(Transfer &transfer);
    QByteArray validatorOf(const Transfer &transfer) const;
    void release(Transfer *transfer);
    void stopAll();
    void failRun(const Failure &failure);
    void finishRun();
    void report(bool force);
    void checkStalls();
    void fileDone(const QString &key, qint64 stagedBytes);
    void post(std::function<void(DownloadRun *)> call);

    static size_t onHeader(char *buffer, size_t size, size_t count, void *userdata);
    static size_t onBody(char *buffer, size_t size, size_t count, void *userdata);

    DownloadRun *owner;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable changed;
    Command command = Command::None;
    Run pendingRun;
    quint64 cancelsAsked = 0;
    quint64 cancelsDone = 0;

    CURLM *multi = nullptr;
    CURLSH *share = nullptr;
    Run run;
    bool active = false;
    DownloadQueue queue;
    QSet<QString> runningKeys;
    std::vector<Transfer *> running;
    std::vector<std::unique_ptr<Transfer>> spare;
    std::vector<CURL *> spareHandles;
    // Over TLS the first answer tells whether the server multiplexes (HTTP/2):
    // until then one transfer, so the others share its connection rather than
    // each opening one. (libcurl's PIPEWAIT would hold HTTP/1.1 transfers back
    // until the first one ends.)
    bool holdStarts = false;
    bool refill = false;
    QSet<QString> createdFolders;
    qint64 received = 0;
    qint64 total = 0;
    qint64 reported = 0;
    qint64 lastReportMs = 0;
    DownloadSpeed meter;
    DownloadRun::Statistics statistics;
};

TransferPool::Worker::Worker(DownloadRun *owner) : owner(owner)
{
    initialiseCurl();
    multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_PIPELINING, long(CURLPIPE_MULTIPLEX));
    // TLS sessions and name lookups outlive each transfer's handle.
    share = curl_share_init();
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    thread = std::thread([this] { loop(); });
}

TransferPool::Worker::~Worker()
{
    {
        std::lock_guard lock(mutex);
        command = Command::Quit;
    }
    curl_multi_wakeup(multi);
    thread.join();
    for (CURL *easy : spareHandles)
        curl_easy_cleanup(easy);
    curl_multi_cleanup(multi);
    curl_share_cleanup(share);
}

void TransferPool::Worker::startRun(Run next)
{
    {
        std::lock_guard lock(mutex);
        pendingRun = std::move(next);
        command = Command::Start;
    }
    curl_multi_wakeup(multi);
}

void TransferPool::Worker::cancelRun()
{
    std::unique_lock lock(mutex);
    const quint64 ticket = ++cancelsAsked;
    if (command != Command::Quit)
        command = Command::Cancel;
    curl_multi_wakeup(multi);
    changed.wait(lock, [&] { return cancelsDone >= ticket; });
}

void TransferPool::Worker::post(std::function<void(DownloadRun *)> call)
{
    DownloadRun *pool = owner;
    const quint64 id = run.id;
    QMetaObject::invokeMethod(
        pool,
        [pool, id, call = std::move(call)] {
            // A cancelled or replaced run says nothing more.
            if (pool->runId == id && pool->running)
                call(pool);
        },
        Qt::QueuedConnection);
}

void TransferPool::Worker::loop()
{
    for (;;) {
        Command next = Command::None;
        Run started;
        quint64 cancels = 0;
        {
            std::lock_guard lock(mutex);
            next = std::exchange(command, Command::None);
            cancels = cancelsAsked;
            if (next == Command::Start)
                started = std::move(pendingRun);
        }
        if (next == Command::Quit || next == Command::Cancel) {
            stopAll();
            {
                std::lock_guard lock(mutex);
                cancelsDone = cancels;
            }
            changed.notify_all();
            if (next == Command::Quit)
                return;
        } else if (next == Command::Start) {
            beginRun(std::move(started));
        }

        int waitMs = 1000;
        if (active) {
            int stillRunning = 0;
            curl_multi_perform(multi, &stillRunning);
            while (active) {
                int queued = 0;
                CURLMsg *message = curl_multi_info_read(multi, &queued);
                if (!message)
                    break;
                if (message->msg == CURLMSG_DONE)
                    onDone(message->easy_handle, message->data.result);
            }
            if (active && std::exchange(refill, false))
                fill();
            if (active)
                checkStalls();
            if (active)
                report(false);
            long curlMs = -1;
            curl_multi_timeout(multi, &curlMs);
            waitMs = int(curlMs < 0 ? reportIntervalMs : qMin<long>(curlMs, reportIntervalMs));
        }
        curl_multi_poll(multi, nullptr, 0, waitMs, nullptr);
    }
}

void TransferPool::Worker::beginRun(Run next)
{
    stopAll();
    run = std::move(next);
    total = 0;
    for (const DownloadItem &item : std::as_const(run.items))
        total += qMax<qint64>(item.size, 0);
    queue.reset(run.items);
    createdFolders.clear();
    statistics = {};
    received = 0;
    reported = 0;
    lastReportMs = nowMs();
    meter.restart(lastReportMs);
    holdStarts = std::any_of(run.items.cbegin(), run.items.cend(), [](const DownloadItem &item) {
        return item.url.scheme() == QLatin1String("https");
    });
    refill = false;
    active = true;
    fill();
}

void TransferPool::Worker::fill()
{
    const int limit = holdStarts ? 1 : qMax(run.maxConcurrent, 1);
    while (active && int(running.size()) < limit && !queue.atEnd()) {
        if (!startItem(queue.takeNext()))
            return;
    }
    if (active && running.empty())
        finishRun();
}

// False when the run failed.
bool TransferPool::Worker::startItem(const DownloadItem &item)
{
    const QString folder = QFileInfo(item.stagingPath).absolutePath();
    if (!createdFolders.contains(folder)) {
        if (!QDir().mkpath(folder)) {
            failRun({Failure::Kind::FileSystem,
                     QStringLiteral("Could not create directory path for download")});
            return false;
        }
        createdFolders.insert(folder);
    }
    // A leftover link must not carry the download to a file elsewhere.
    if (QFileInfo(item.stagingPath).isSymLink())
        QFile::remove(item.stagingPath);

    // An empty file's content is known: no request.
    if (item.size == 0) {
        QFile empty(item.stagingPath);
        if (!empty.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            failRun({Failure::Kind::FileSystem,
                     QStringLiteral("Could not create temporary file for download")});
            return false;
        }
        empty.close();
        if (item.checksum != crc32Hex(0)) {
            QFile::remove(item.stagingPath);
            failRun({Failure::Kind::InvalidData, FileSink::verificationFailedMessage()});
            return false;
        }
        fileDone(item.key, 0);
        return true;
    }

    std::unique_ptr<Transfer> transfer;
    if (spare.empty()) {
        transfer = std::make_unique<Transfer>();
    } else {
        transfer = std::move(spare.back());
        spare.pop_back();
    }
    transfer->worker = this;
    transfer->item = item;
    const Status prepared = prepareTransfer(*transfer);
    if (!prepared) {
        spare.push_back(std::move(transfer));
        failRun(prepared.failure());
        return false;
    }
    if (transfer->complete) {
        spare.push_back(std::move(transfer));
        fileDone(item.key, item.size);
        return true;
    }
    configure(*transfer);
    curl_multi_add_handle(multi, transfer->easy);
    runningKeys.insert(item.key);
    running.push_back(transfer.release());
    return true;
}

Status TransferPool::Worker::prepareTransfer(Transfer &transfer)
{
    const DownloadItem &item = transfer.item;
    transfer.complete = false;
    transfer.url = item.url.toEncoded();
    transfer.record.emplace(run.recordFolder, item.key);
    transfer.rangeStart = 0;
    transfer.placed = false;
    transfer.recordWritten = false;
    transfer.status = 0;
    transfer.reason.clear();
    transfer.etag.clear();
    transfer.lastModified.clear();
    transfer.contentRange.clear();
    transfer.failure.reset();
    transfer.errorText[0] = '\0';

    // A part left by an earlier run is continued only under the validator it was begun with.
    qint64 keep = 0;
    quint32 keptCrc = 0;
    const QByteArray validator = transfer.record->read(transfer.url);
    const QFileInfo staged(item.stagingPath);
    if (item.size > 0 && staged.isFile() && staged.size() > 0 &&
        (!validator.isEmpty() || staged.size() == item.size)) {
        const StagedStart start = inspectStagedFile(item.stagingPath, item.size, item.checksum);
        if (start.kind == StagedStart::Kind::Complete) {
            transfer.record->remove();
            transfer.complete = true;
            return {};
        }
        if (start.kind == StagedStart::Kind::Resume && !validator.isEmpty()) {
            keep = start.bytes;
            keptCrc = start.crc;
            transfer.recordWritten = true;
        }
    }
    if (const Status opened = transfer.sink.open(item.stagingPath, item.size, keep, keptCrc);
        !opened)
        return opened;
    transfer.rangeStart = keep;

    if (transfer.headers) {
        curl_slist_free_all(transfer.headers);
        transfer.headers = nullptr;
    }
    // Files are checked by the CRC of their own bytes: ask for them as stored.
    transfer.headers = curl_slist_append(nullptr, "Accept-Encoding: identity");
    if (keep > 0)
        transfer.headers =
            curl_slist_append(transfer.headers, QByteArray("If-Range: " + validator).constData());
    return {};
}

void TransferPool::Worker::configure(Transfer &transfer)
{
    const DownloadItem &item = transfer.item;
    if (spareHandles.empty()) {
        transfer.easy = curl_easy_init();
    } else {
        transfer.easy = spareHandles.back();
        spareHandles.pop_back();
    }
    CURL *easy = transfer.easy;
    const bool secure = item.url.scheme() == QLatin1String("https");
    curl_easy_setopt(easy, CURLOPT_URL, transfer.url.constData());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
    curl_easy_setopt(easy, CURLOPT_SHARE, share);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, long(maxRedirects));
    // Never to a less safe scheme.
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
    curl_easy_setopt(easy, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
    if (!run.caFile.isEmpty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, run.caFile.constData());
    if (!run.caPath.isEmpty())
        curl_easy_setopt(easy, CURLOPT_CAPATH, run.caPath.constData());
#if defined(Q_OS_WIN)
    curl_easy_setopt(easy, CURLOPT_SSL_OPTIONS, long(CURLSSLOPT_NATIVE_CA));
#endif
    curl_easy_setopt(easy, CURLOPT_USERAGENT, run.userAgent.constData());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers);
    if (transfer.rangeStart > 0)
        curl_easy_setopt(easy, CURLOPT_RANGE,
                         QByteArray(QByteArray::number(transfer.rangeStart) + '-').constData());
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, receiveBufferBytes);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Worker::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Worker::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorText);
    transfer.lastActivityMs = nowMs();
}

size_t TransferPool::Worker::onHeader(char *buffer, size_t size, size_t count, void *userdata)
{
    auto *transfer = static_cast<Transfer *>(userdata);
    const size_t length = size * count;
    transfer->lastActivityMs = nowMs();
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
        if (std::exchange(transfer->worker->holdStarts, false))
            transfer->worker->refill = true;
    } else if (headerIs(line, "etag")) {
        transfer->etag = headerValue(line, 4);
    } else if (headerIs(line, "last-modified")) {
        transfer->lastModified = headerValue(line, 13);
    } else if (headerIs(line, "content-range")) {
        transfer->contentRange = headerValue(line, 13);
    }
    return length;
}

size_t TransferPool::Worker::onBody(char *buffer, size_t size, size_t count, void *userdata)
{
    auto *transfer = static_cast<Transfer *>(userdata);
    const size_t length = size * count;
    transfer->lastActivityMs = nowMs();
    // The staged part is longer than the server's file: the body is not the file.
    if (transfer->status == 416 && transfer->rangeStart > 0)
        return length;
    if (!transfer->placed) {
        if (const Status placed = transfer->worker->place(*transfer); !placed) {
            transfer->failure = placed.failure();
            return 0;
        }
    }
    if (const Status appended = transfer->sink.append(buffer, qint64(length)); !appended) {
        transfer->failure = appended.failure();
        return 0;
    }
    transfer->worker->received += qint64(length);
    return length;
}

// A strong ETag, else Last-Modified: what If-Range may carry.
QByteArray TransferPool::Worker::validatorOf(const Transfer &transfer) const
{
    if (!transfer.etag.isEmpty() && !transfer.etag.startsWith("W/"))
        return transfer.etag;
    return transfer.lastModified;
}

// Decides, at the answer's first body byte (or its end), where the body goes.
Status TransferPool::Worker::place(Transfer &transfer)
{
    transfer.placed = true;
    if (transfer.status >= 400)
        return Status::fail(Failure::Kind::Server, httpFailureText(transfer.status, transfer.reason,
                                                                   effectiveUrl(transfer.easy)));
    Transfer *self = &transfer;
    const auto recordOnFirstWrite = [this, self] {
        self->recordWritten = true;
        return self->record->write(self->url, validatorOf(*self));
    };
    if (transfer.rangeStart == 0) {
        transfer.sink.setBeforeFirstWrite(recordOnFirstWrite);
        return {};
    }
    switch (classifyRangeAnswer(transfer.status, transfer.contentRange, transfer.rangeStart)) {
    case RangeAnswer::Append:
        received += transfer.rangeStart;
        return {};
    case RangeAnswer::Restart:
        // The validator no longer matched: another build of the file, from its first byte.
        transfer.rangeStart = 0;
        if (const Status restarted = transfer.sink.restart(); !restarted)
            return restarted;
        transfer.record->remove();
        transfer.recordWritten = false;
        transfer.sink.setBeforeFirstWrite(recordOnFirstWrite);
        return {};
    case RangeAnswer::Refused:
        break;
    }
    return Status::fail(Failure::Kind::Server, FileSink::verificationFailedMessage());
}

void TransferPool::Worker::onDone(CURL *easy, CURLcode code)
{
    Transfer *transfer = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &transfer);
    const DownloadItem item = transfer->item;
    long connections = 0;
    long version = 0;
    curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connections);
    curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
    statistics.connections += int(connections);
    if (transfer->status > 0) {
        ++statistics.requests;
        statistics.http2 += version == CURL_HTTP_VERSION_2_0 ? 1 : 0;
    }

    std::optional<Failure> failure = transfer->failure;
    if (!failure && code != CURLE_OK)
        failure = curlFailure(code, easy, transfer->errorText, run.stalledMessage);
    if (!failure && transfer->status == 416 && transfer->rangeStart > 0) {
        // The staged part is longer than the server's file: start over.
        transfer->sink.close();
        transfer->record->remove();
        QFile::remove(item.stagingPath);
        release(transfer);
        startItem(item);
        return;
    }
    if (!failure && !transfer->placed) {
        if (const Status placed = place(*transfer); !placed)
            failure = placed.failure();
    }
    if (!failure) {
        const Status stored = transfer->sink.finish();
        if (!stored)
            failure = stored.failure();
        else if ((item.size >= 0 && transfer->sink.size() != item.size) ||
                 (!item.checkedByCaller && crc32Hex(transfer->sink.crc()) != item.checksum))
            failure = Failure{Failure::Kind::InvalidData, FileSink::verificationFailedMessage()};
    }
    if (failure) {
        // A file known to be wrong is worth nothing to a later run.
        const bool wrong = failure->kind == Failure::Kind::InvalidData ||
                           failure->message == FileSink::verificationFailedMessage();
        if (wrong) {
            transfer->sink.close();
            transfer->record->remove();
            QFile::remove(item.stagingPath);
        }
        if (item.optional) {
            release(transfer);
            post([key = item.key](DownloadRun *pool) { emit pool->fileFailed(key); });
            fill();
            return;
        }
        failRun(*failure);
        return;
    }
    if (transfer->recordWritten)
        transfer->record->remove();

    const qint64 size = qMax<qint64>(item.size, 0);
    bool largestRunning = true;
    for (const Transfer *other : running) {
        if (other != transfer && other->item.size > size) {
            largestRunning = false;
            break;
        }
    }
    release(transfer);
    fileDone(item.key, -1);
    if (largestRunning) {
        const std::optional<DownloadItem> largest = queue.takeLargestWaiting(runningKeys);
        if (largest && !startItem(*largest))
            return;
    }
    fill();
}

void TransferPool::Worker::fileDone(const QString &key, qint64 stagedBytes)
{
    if (stagedBytes > 0)
        received += stagedBytes;
    post([key](DownloadRun *pool) { emit pool->fileReady(key); });
}

void TransferPool::Worker::release(Transfer *transfer)
{
    const auto it = std::find(running.begin(), running.end(), transfer);
    if (it != running.end()) {
        running.erase(it);
        runningKeys.remove(transfer->item.key);
    }
    if (transfer->easy) {
        curl_multi_remove_handle(multi, transfer->easy);
        curl_easy_reset(transfer->easy);
        spareHandles.push_back(transfer->easy);
        transfer->easy = nullptr;
    }
    transfer->sink.close();
    if (transfer->headers) {
        curl_slist_free_all(transfer->headers);
        transfer->headers = nullptr;
    }
    spare.emplace_back(transfer);
}

void TransferPool::Worker::stopAll()
{
    while (!running.empty())
        release(running.back());
    // Ends of transfers no longer running must not be read as a later run's.
    int queued = 0;
    while (curl_multi_info_read(multi, &queued)) {
    }
    active = false;
    queue.clear();
}

void TransferPool::Worker::failRun(const Failure &failure)
{
    stopAll();
    post([failure, counts = statistics](DownloadRun *pool) {
        pool->running = false;
        pool->lastStatistics = counts;
        emit pool->failed(failure.message);
    });
}

void TransferPool::Worker::finishRun()
{
    active = false;
    queue.clear();
    report(true);
    post([counts = statistics](DownloadRun *pool) {
        pool->running = false;
        pool->lastStatistics = counts;
        emit pool->finished();
    });
}

void TransferPool::Worker::checkStalls()
{
    const qint64 now = nowMs();
    for (const Transfer *transfer : running) {
        if (now - transfer->lastActivityMs >= run.stallTimeoutMs) {
            failRun({Failure::Kind::Stalled, run.stalledMessage});
            return;
        }
    }
}

// The engine's speed rule, applied once per report interval instead of once per block.
void TransferPool::Worker::report(bool force)
{
    const qint64 now = nowMs();
    if (!force && now - lastReportMs < reportIntervalMs)
        return;
    const qint64 delta = received - reported;
    if (delta <= 0 && !force)
        return;
    lastReportMs = now;
    reported = received;
    const qint64 bytes = received;
    const qint64 all = total;
    switch (meter.add(now, delta)) {
    case DownloadSpeed::Report::Speed: {
        const qint64 average = meter.average();
        post([average](DownloadRun *pool) { emit pool->speed(average); });
        break;
    }
    case DownloadSpeed::Report::Overall:
        post([bytes, all](DownloadRun *pool) { emit pool->progress(bytes, all); });
        break;
    case DownloadSpeed::Report::None:
        if (force)
            post([bytes, all](DownloadRun *pool) { emit pool->progress(bytes, all); });
        break;
    }
}

TransferPool::TransferPool(DownloadRun *owner) : worker(std::make_unique<Worker>(owner)) {}

TransferPool::~TransferPool() = default;

void TransferPool::start(Run run)
{
    worker->startRun(std::move(run));
}

void TransferPool::cancel()
{
    worker->cancelRun();
}
