#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

template <typename T> class QFutureWatcher;

struct VerificationOptions
{
    // Where a correct copy of a wrong or missing file may already wait.
    QString stagingFolder;
};

struct VerificationResult
{
    QList<QString> bad;        // keys to fetch, in manifest order
    QSet<QString> stagedValid; // keys whose correct copy waits in the staging folder
};

// Checks a game folder against the manifest's entries by CRC-32 on the global
// thread pool, in batches, reporting each file on the calling thread.
class Verification final : public QObject
{
    Q_OBJECT

public:
    explicit Verification(QObject *parent = nullptr);
    ~Verification() override;

    // Checks every entry (key -> { "checksum", ... }) below `folder`. A check
    // under way is stopped first; one without a file to check finishes at once.
    void start(const QString &folder, const QJsonObject &entries,
               const VerificationOptions &options);
    // Stops the check under way; its result is never published.
    void stop();
    bool isRunning() const { return watcher != nullptr; }

    // Stops a check while its folder changes; resume() runs it again afterwards.
    void interrupt();
    bool isInterrupted() const { return interrupted; }
    void resume();

    struct Batch
    {
        QList<QString> bad;
        QList<QString> stagedValid;
    };

signals:
    void started(int totalFiles);
    void progress(int filesChecked, int totalFiles);
    void finished(const VerificationResult &result);

private:
    void onBatchesDone();

    QFutureWatcher<Batch> *watcher = nullptr;
    QString folder;
    QJsonObject entries;
    VerificationOptions options;
    bool interrupted = false;
};
