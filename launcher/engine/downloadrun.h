#pragma once

#include "downloaditem.h"
#include "downloadqueue.h"
#include "downloadspeed.h"
#include "inactivityguard.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>

#include <cstdlib>
#include <memory>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;

// Fetches a run's files into their staging paths, a few at a time, resuming
// what an earlier run left staged, and checks each by its CRC-32. Lives on the
// GUI thread; speed and progress reach listeners as queued calls.
class DownloadRun final : public QObject
{
    Q_OBJECT

public:
    explicit DownloadRun(QNetworkAccessManager &network, QObject *parent = nullptr);
    ~DownloadRun() override;

    // Items in start order: largest first.
    void start(QList<DownloadItem> items, int maxConcurrent);
    // Stops every transfer; staged parts stay.
    void cancel();
    bool isRunning() const { return running; }
    void setStallTimeout(int ms) { stallTimeoutMs = ms; }

    static QString stalledServerMessage()
    {
        return QStringLiteral("The patching server stopped responding.");
    }

signals:
    void speed(qlonglong bytesPerSecond);
    void progress(qlonglong receivedBytes, qlonglong totalBytes);
    // Staged, whole, CRC-32 matches.
    void fileReady(const QString &key);
    // The player's text; the run has stopped.
    void failed(const QString &message);
    // Every item is ready.
    void finished();

private:
    struct Transfer
    {
        DownloadItem item;
        QFile *file = nullptr;
        qint64 expectedSize = 0; // 0 when unknown
        qint64 bytesWritten = 0;
        quint32 crc = 0;         // of the bytes written so far
        qint64 rangeStart = 0;   // staged bytes a resumed request asked the rest after
        qint64 baseBytes = 0;    // staged bytes the body is appended to
        bool bodyPlaced = false; // the answer's status has decided where the body goes
    };

    void startItem(const DownloadItem &item);
    void fillSlots();
    void writeData(QNetworkReply *reply);
    bool placeBody(QNetworkReply *reply, Transfer &transfer, int status);
    void onProgress(QNetworkReply *reply, qint64 bytesReceived);
    void onFinished(QNetworkReply *reply);
    void release(QNetworkReply *reply);
    void abandon(QNetworkReply *reply, Transfer &transfer);
    void reject(QNetworkReply *reply, const QString &message);
    void fail(const QString &message);
    void finishIfDone();
    QSet<QString> runningKeys() const;

    QNetworkAccessManager &network;
    bool running = false;
    int slotLimit = 1;
    int stallTimeoutMs = InactivityGuard::defaultLimitMs;
    DownloadQueue queue;
    QMap<QNetworkReply *, Transfer> active;
    QList<DownloadItem> pending; // started while every slot was taken
    QMap<QString, qint64> fileBytesReceived;
    qint64 totalBytesReceived = 0;
    qint64 totalBytes = 0;
    DownloadSpeed speedMeter;
    QMap<QNetworkReply *, qint64> lastBytesPerReply;
    QSet<QString> createdFolders; // staging folders made during this run

    // One buffer for every reply's data instead of an allocation per readyRead.
    struct FreeDeleter
    {
        void operator()(char *data) const { std::free(data); }
    };
    std::unique_ptr<char, FreeDeleter> readBuffer;
};
