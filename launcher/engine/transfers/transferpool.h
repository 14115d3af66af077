#pragma once

#include "result.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

// One file of a download run.
struct TransferItem
{
    QString key; // what fileReady() names
    QUrl url;
    QString stagingPath; // where the file is written
    qint64 size = -1;    // declared bytes: never more are written; below 0 when not declared
    QString checksum;    // CRC-32, 8 lower-case hex digits
};

// Runs the files of a download run through libcurl's multi interface on one
// worker thread of its own: connections kept alive and reused, HTTP/2
// multiplexed where the server offers it, each file written in large blocks and
// checksummed as it arrives. The owner's thread only hears about whole files,
// the run's end, and progress at most every 50 ms.
class TransferPool final : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QByteArray userAgent;
        int stallTimeoutMs = 30000; // a transfer that receives nothing this long fails the run
        QString stalledMessage;     // the player's text for that
        QString recordFolder;       // where resume records live; empty: parts are never resumed
    };

    explicit TransferPool(QObject *parent = nullptr);
    ~TransferPool() override;

    // Starts the items in list order, at most `maxConcurrent` at once; whenever
    // the largest running file ends, the largest not yet started follows. A run
    // still going is cancelled first.
    void start(const QList<TransferItem> &items, int maxConcurrent, const Options &options);
    // Stops every transfer; returns once none runs and every part is on disk.
    void cancel();
    bool isRunning() const { return running; }

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
    void fileReady(const QString &key);  // staged, whole, CRC-32 matches
    void failed(const Failure &failure); // the run has stopped
    void finished();                     // every item is ready

private:
    class Worker;
    friend class Worker;

    std::unique_ptr<Worker> worker;
    quint64 runId = 0;
    bool running = false;
    Statistics lastStatistics;
};
