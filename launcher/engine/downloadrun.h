#pragma once

#include "downloaditem.h"
#include "inactivityguard.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class TransferPool;

// Fetches a run's files into their staging paths, a few at a time, resuming
// what an earlier run left staged under the same server validator, and checks
// each by its CRC-32. The transfers run on a worker thread of their own
// (TransferPool); this side lives on the GUI thread and hears only of whole
// files, the run's end, and speed and progress at most every 50 ms.
class DownloadRun final : public QObject
{
    Q_OBJECT

public:
    explicit DownloadRun(QObject *parent = nullptr);
    ~DownloadRun() override;

    // Items in start order: largest first.
    void start(QList<DownloadItem> items, int maxConcurrent);
    // Stops every transfer; staged parts stay. Returns once none runs.
    void cancel();
    bool isRunning() const { return running; }
    void setStallTimeout(int ms) { stallTimeoutMs = ms; }

    // Where the validators of staged parts are recorded: beside the staging
    // folder, never in it, or the file mover would carry them into the game.
    static QString recordFolder();

    static QString stalledServerMessage()
    {
        return QStringLiteral("The patching server stopped responding.");
    }

    // How the last run that ended went over the wire.
    struct Statistics
    {
        int requests = 0;    // answers received
        int connections = 0; // connections opened for them
        int http2 = 0;       // answers that came over HTTP/2
    };
    Statistics statistics() const { return lastStatistics; }

signals:
    void speed(qlonglong bytesPerSecond);
    void progress(qlonglong receivedBytes, qlonglong totalBytes);
    // Staged, whole, CRC-32 matches.
    void fileReady(const QString &key);
    // An optional item failed; the run goes on without it.
    void fileFailed(const QString &key);
    // The player's text; the run has stopped.
    void failed(const QString &message);
    // Every item is ready.
    void finished();

private:
    friend class TransferPool;

    std::unique_ptr<TransferPool> pool;
    quint64 runId = 0; // reports of a cancelled or replaced run are dropped
    bool running = false;
    int stallTimeoutMs = InactivityGuard::defaultLimitMs;
    Statistics lastStatistics;
};
