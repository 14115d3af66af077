#pragma once

#include "downloaditem.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

class DownloadRun;

// The transfers of a download run, on one worker thread of its own that owns
// libcurl's multi handle: connections kept alive and reused, HTTP/2 multiplexed
// where the server offers it, each file written in large blocks and checksummed
// as it arrives (FileSink). The worker starts each next file itself and posts to
// its DownloadRun only whole files, the run's end, and progress at most every 50 ms.
class TransferPool final
{
public:
    struct Run
    {
        quint64 id = 0;
        QList<DownloadItem> items; // in start order
        int maxConcurrent = 1;
        QByteArray userAgent;
        int stallTimeoutMs = 30000; // a transfer that receives nothing this long fails the run
        QString stalledMessage;
        QString recordFolder; // where resume records live; empty: parts are never resumed
        QByteArray caFile;    // SSL_CERT_FILE, as for curl
        QByteArray caPath;    // SSL_CERT_DIR
    };

    explicit TransferPool(DownloadRun *owner);
    ~TransferPool();
    TransferPool(const TransferPool &) = delete;
    TransferPool &operator=(const TransferPool &) = delete;

    // Replaces any run going on.
    void start(Run run);
    // Returns once no transfer runs and every part is on disk.
    void cancel();

private:
    class Worker;
    std::unique_ptr<Worker> worker;
};
