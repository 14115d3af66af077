#pragma once

#include "downloadqueue.h"
#include "downloadrun.h"
#include "downloadspeed.h"
#include "transfer.h"
#include "transferpool.h"

#include <QSet>
#include <QString>

#include <curl/curl.h>

#include <memory>
#include <vector>

// The bookkeeping of one download run on the transfer thread: which files are
// under way and which starts next, the bytes staged, stalls, and the run's end.
// The thread that drives libcurl's multi handle calls advance() after each turn.
class TransferRun final : private Transfer::Listener
{
public:
    static constexpr qint64 reportIntervalMs = 50;

    // What the run has to say, on the transfer thread.
    class Reports
    {
    public:
        virtual void fileReady(const QString &key) = 0;
        virtual void fileFailed(const QString &key) = 0;
        virtual void progress(qint64 received, qint64 total) = 0;
        virtual void speed(qint64 bytesPerSecond) = 0;
        virtual void failed(const Failure &failure, const DownloadRun::Statistics &counts) = 0;
        virtual void finished(const DownloadRun::Statistics &counts) = 0;

    protected:
        ~Reports() = default;
    };

    TransferRun(CURLM *multi, CURLSH *share, Reports &reports);
    ~TransferRun();
    TransferRun(const TransferRun &) = delete;
    TransferRun &operator=(const TransferRun &) = delete;

    // Replaces any run going on.
    void begin(TransferPool::Run next);
    // Takes in the transfers libcurl ended, starts the next, reports what is due.
    void advance();
    // Stops every transfer; staged parts stay on disk.
    void stop();
    bool isActive() const { return active; }

private:
    void fill();
    bool startItem(const DownloadItem &item);
    void onDone(CURL *easy, CURLcode code);
    void release(Transfer *transfer);
    void fail(const Failure &failure);
    void finish();
    void report(bool force);
    void checkStalls();
    void fileDone(const QString &key, qint64 stagedBytes);

    void answerStarted() override;
    void bytesStaged(qint64 bytes) override { received += bytes; }

    CURLM *multi;
    CURLSH *share;
    Reports &reports;
    TransferPool::Run run;
    Transfer::Options options;
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
