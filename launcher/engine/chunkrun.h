#pragma once

#include "chunkwork.h"
#include "downloaditem.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QThreadPool>

#include <atomic>
#include <memory>

class DownloadRun;
class QNetworkAccessManager;
class QNetworkReply;

// A download run that takes what it can from the build's chunk store: the
// build's index is fetched first, each file is assembled in staging from the
// chunks the player already has plus the missing ones fetched compressed, and
// every file the store cannot give (no index, a missing or damaged chunk, any
// doubt) is fetched whole. Speaks as DownloadRun does, counting wire bytes.
class ChunkRun final : public QObject
{
    Q_OBJECT

public:
    ChunkRun(QNetworkAccessManager &network, DownloadRun &transfers, QObject *parent = nullptr);
    ~ChunkRun() override;

    struct Request
    {
        QList<DownloadItem> items; // the run's files, as DownloadRun would take them
        int maxConcurrent = 1;
        int stallTimeoutMs = 30000;
        ChunkWork::Input work; // `wanted` is filled from `items`
    };
    void start(Request request);
    // Stops fetching and assembling; what is cached or staged stays.
    void cancel();

    // The run's files went into `installFolder`: its index is kept for the next
    // update and the chunks are no longer needed.
    void noteInstalled(const QString &installFolder);

signals:
    void speed(qlonglong bytesPerSecond);
    void progress(qlonglong receivedBytes, qlonglong totalBytes);
    void fileReady(const QString &key);
    void failed(const QString &message);
    void finished();

private:
    enum class State
    {
        Idle,
        FetchingIndex,
        Planning,
        Fetching,  // chunks and files the index lacks; assembly as chunks complete files
        Finishing, // files the store could not give, whole
    };

    // What the run needs once planned: built on the planning thread, as a
    // large build's chunks (tens of thousands) would hold the window up.
    struct Start
    {
        std::shared_ptr<const ChunkWork::Setup> setup;
        QList<DownloadItem> items; // missing chunks, then files the index lacks
        QHash<QString, quint32> chunkKeys;
        QHash<quint32, QList<int>> waiting;
        QList<int> missing;
        QHash<quint32, int> users;
    };
    static Start startOf(ChunkWork::Setup setup, const QString &updateUrl, const ChunkCache &store,
                         const QList<DownloadItem> &runItems);

    void setState(State next) { state = next; }
    void onIndex(QNetworkReply *reply);
    void onPlanned(Result<Start> start);
    void onFileReady(const QString &key);
    void onFileFailed(const QString &key);
    void onRunFinished();
    void onRunFailed(const QString &message);
    void onProgress(qlonglong received, qlonglong total);
    void chunkSettled(quint32 row, bool arrived);
    void assemble(int file);
    void onAssembled(int file, const Status &status);
    void release(int file);
    void drop(const QList<ChunkId> &chunks);
    void maybeFinish();
    void fetchWhole(const QStringList &keys);
    void stopWork();
    QList<DownloadItem> itemsOf(const QStringList &keys) const;
    static QList<DownloadItem> itemsOf(const QStringList &keys,
                                       const QList<DownloadItem> &runItems);

    QNetworkAccessManager &network;
    DownloadRun &transfers;
    State state = State::Idle;
    quint64 generation = 0; // answers of a cancelled run are dropped
    Request request;
    QPointer<QNetworkReply> indexReply;
    QByteArray storedIndex;
    std::shared_ptr<const ChunkWork::Setup> setup;

    QHash<QString, quint32> chunkKeys;  // item key -> row
    QHash<quint32, QList<int>> waiting; // row -> files still waiting for it
    QList<int> missing;                 // per file: chunks not yet here
    QSet<int> doomed;                   // files that will be fetched whole
    QHash<quint32, int> users;          // row -> files not yet assembled that use it
    QStringList fallback;               // keys to fetch whole after the chunks
    int assembling = 0;
    bool transfersDone = false;
    qint64 legTotal = 0;      // wire bytes the first leg fetches
    qint64 firstLegBytes = 0; // ...counted ahead of the second leg's
    bool usedIndex = false;   // the files of the last run came from this index

    ChunkCache cache;
    QThreadPool workers;
    std::shared_ptr<std::atomic_bool> stop;
};
