#include "transferrun.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <utility>

TransferRun::TransferRun(CURLM *multi, CURLSH *share, Reports &reports)
    : multi(multi), share(share), reports(reports)
{
}

TransferRun::~TransferRun()
{
    stop();
    for (CURL *easy : spareHandles)
        curl_easy_cleanup(easy);
}

void TransferRun::begin(TransferPool::Run next)
{
    stop();
    run = std::move(next);
    total = 0;
    for (const DownloadItem &item : std::as_const(run.items))
        total += qMax<qint64>(item.size, 0);
    queue.reset(run.items);
    createdFolders.clear();
    statistics = {};
    received = 0;
    reported = 0;
    lastReportMs = Transfer::nowMs();
    meter.restart(lastReportMs);
    options = {run.userAgent, run.caFile, run.caPath};
    holdStarts = std::any_of(run.items.cbegin(), run.items.cend(), [](const DownloadItem &item) {
        return item.url.scheme() == QLatin1String("https");
    });
    refill = false;
    active = true;
    fill();
}

void TransferRun::advance()
{
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
}

void TransferRun::fill()
{
    const int limit = holdStarts ? 1 : qMax(run.maxConcurrent, 1);
    while (active && int(running.size()) < limit && !queue.atEnd()) {
        if (!startItem(queue.takeNext()))
            return;
    }
    if (active && running.empty())
        finish();
}

// False when the run failed.
bool TransferRun::startItem(const DownloadItem &item)
{
    const QString folder = QFileInfo(item.stagingPath).absolutePath();
    if (!createdFolders.contains(folder)) {
        if (!QDir().mkpath(folder)) {
            fail({Failure::Kind::FileSystem,
                  QStringLiteral("Could not create directory path for download")});
            return false;
        }
        createdFolders.insert(folder);
    }

    std::unique_ptr<Transfer> transfer;
    if (spare.empty()) {
        transfer = std::make_unique<Transfer>(static_cast<Transfer::Listener &>(*this));
    } else {
        transfer = std::move(spare.back());
        spare.pop_back();
    }
    const Result<bool> needsRequest = transfer->prepare(item, run.recordFolder);
    if (!needsRequest || !*needsRequest) {
        spare.push_back(std::move(transfer));
        if (!needsRequest) {
            fail(needsRequest.failure());
            return false;
        }
        fileDone(item.key, item.size);
        return true;
    }
    CURL *easy = nullptr;
    if (spareHandles.empty()) {
        easy = curl_easy_init();
    } else {
        easy = spareHandles.back();
        spareHandles.pop_back();
    }
    transfer->attach(easy, share, options);
    curl_multi_add_handle(multi, easy);
    runningKeys.insert(item.key);
    running.push_back(transfer.release());
    return true;
}

void TransferRun::answerStarted()
{
    if (std::exchange(holdStarts, false))
        refill = true;
}

void TransferRun::onDone(CURL *easy, CURLcode code)
{
    Transfer *transfer = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &transfer);
    const DownloadItem item = transfer->item();
    long connections = 0;
    long version = 0;
    curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connections);
    curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
    statistics.connections += int(connections);
    if (transfer->answered()) {
        ++statistics.requests;
        statistics.http2 += version == CURL_HTTP_VERSION_2_0 ? 1 : 0;
    }

    const Result<Transfer::End> ended = transfer->end(code, run.stalledMessage);
    if (!ended && item.optional) {
        release(transfer);
        reports.fileFailed(item.key);
        fill();
        return;
    }
    if (!ended) {
        fail(ended.failure());
        return;
    }
    if (*ended == Transfer::End::StartOver) {
        release(transfer);
        startItem(item);
        return;
    }

    const qint64 size = qMax<qint64>(item.size, 0);
    bool largestRunning = true;
    for (const Transfer *other : running) {
        if (other != transfer && other->item().size > size) {
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

void TransferRun::fileDone(const QString &key, qint64 stagedBytes)
{
    if (stagedBytes > 0)
        received += stagedBytes;
    reports.fileReady(key);
}

void TransferRun::release(Transfer *transfer)
{
    const auto it = std::find(running.begin(), running.end(), transfer);
    if (it != running.end()) {
        running.erase(it);
        runningKeys.remove(transfer->item().key);
    }
    if (CURL *easy = transfer->handle()) {
        curl_multi_remove_handle(multi, easy);
        transfer->release();
        curl_easy_reset(easy);
        spareHandles.push_back(easy);
    } else {
        transfer->release();
    }
    spare.emplace_back(transfer);
}

void TransferRun::stop()
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

void TransferRun::fail(const Failure &failure)
{
    stop();
    reports.failed(failure, statistics);
}

void TransferRun::finish()
{
    active = false;
    queue.clear();
    report(true);
    reports.finished(statistics);
}

void TransferRun::checkStalls()
{
    const qint64 now = Transfer::nowMs();
    for (const Transfer *transfer : running) {
        if (now - transfer->lastActivityMs() >= run.stallTimeoutMs) {
            fail({Failure::Kind::Stalled, run.stalledMessage});
            return;
        }
    }
}

// The engine's speed rule, applied once per report interval instead of once per block.
void TransferRun::report(bool force)
{
    const qint64 now = Transfer::nowMs();
    if (!force && now - lastReportMs < reportIntervalMs)
        return;
    const qint64 delta = received - reported;
    if (delta <= 0 && !force)
        return;
    lastReportMs = now;
    reported = received;
    switch (meter.add(now, delta)) {
    case DownloadSpeed::Report::Speed:
        reports.speed(meter.average());
        break;
    case DownloadSpeed::Report::Overall:
        reports.progress(received, total);
        break;
    case DownloadSpeed::Report::None:
        if (force)
            reports.progress(received, total);
        break;
    }
}
