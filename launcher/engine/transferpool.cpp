#include "transferpool.h"

#include "downloadrun.h"
#include "transferrun.h"

#include <QMetaObject>

#include <curl/curl.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace {

void initialiseCurl()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

// The transfer thread: it takes the owner's commands, drives libcurl's multi
// handle and posts what the run reports to the owner's thread.
class TransferPool::Worker final : private TransferRun::Reports
{
public:
    explicit Worker(DownloadRun *owner);
    ~Worker();

    // Owner's thread.
    void startRun(Run run);
    void cancelRun();

private:
    enum class Command
    {
        None,
        Start,
        Cancel,
        Quit
    };

    void loop();
    void post(std::function<void(DownloadRun *)> call);

    void fileReady(const QString &key) override;
    void fileFailed(const QString &key) override;
    void progress(qint64 received, qint64 total) override;
    void speed(qint64 bytesPerSecond) override;
    void failed(const Failure &failure, const DownloadRun::Statistics &counts) override;
    void finished(const DownloadRun::Statistics &counts) override;

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
    std::optional<TransferRun> transfers; // ends before the handles it uses
    quint64 runId = 0;                    // of the run under way, for what it posts
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
    transfers.emplace(multi, share, static_cast<TransferRun::Reports &>(*this));
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
    transfers.reset();
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
            transfers->stop();
            {
                std::lock_guard lock(mutex);
                cancelsDone = cancels;
            }
            changed.notify_all();
            if (next == Command::Quit)
                return;
        } else if (next == Command::Start) {
            runId = started.id;
            transfers->begin(std::move(started));
        }

        int waitMs = 1000;
        if (transfers->isActive()) {
            int stillRunning = 0;
            curl_multi_perform(multi, &stillRunning);
            transfers->advance();
            long curlMs = -1;
            curl_multi_timeout(multi, &curlMs);
            const long interval = TransferRun::reportIntervalMs;
            waitMs = int(curlMs < 0 ? interval : qMin(curlMs, interval));
        }
        curl_multi_poll(multi, nullptr, 0, waitMs, nullptr);
    }
}

void TransferPool::Worker::post(std::function<void(DownloadRun *)> call)
{
    DownloadRun *pool = owner;
    const quint64 id = runId;
    QMetaObject::invokeMethod(
        pool,
        [pool, id, call = std::move(call)] {
            // A cancelled or replaced run says nothing more.
            if (pool->runId == id && pool->running)
                call(pool);
        },
        Qt::QueuedConnection);
}

void TransferPool::Worker::fileReady(const QString &key)
{
    post([key](DownloadRun *pool) { emit pool->fileReady(key); });
}

void TransferPool::Worker::fileFailed(const QString &key)
{
    post([key](DownloadRun *pool) { emit pool->fileFailed(key); });
}

void TransferPool::Worker::progress(qint64 received, qint64 total)
{
    post([received, total](DownloadRun *pool) { emit pool->progress(received, total); });
}

void TransferPool::Worker::speed(qint64 bytesPerSecond)
{
    post([bytesPerSecond](DownloadRun *pool) { emit pool->speed(bytesPerSecond); });
}

void TransferPool::Worker::failed(const Failure &failure, const DownloadRun::Statistics &counts)
{
    post([failure, counts](DownloadRun *pool) {
        pool->running = false;
        pool->lastStatistics = counts;
        emit pool->failed(failure.message);
    });
}

void TransferPool::Worker::finished(const DownloadRun::Statistics &counts)
{
    post([counts](DownloadRun *pool) {
        pool->running = false;
        pool->lastStatistics = counts;
        emit pool->finished();
    });
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
