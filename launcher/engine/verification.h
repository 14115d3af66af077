#pragma once

#include "installrecord.h"
#include "platform/filestat.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSharedPointer>
#include <QString>

template <typename T> class QFutureWatcher;

struct VerificationOptions
{
    // Where a correct copy of a wrong or missing file may already wait.
    QString stagingFolder;
    // What the launcher put into the folder. When trusted, a file the record
    // vouches for (same CRC, and size, time and identity unchanged) is not read.
    InstallRecord record;
    bool trustRecord = false;
};

// A file read and found correct, as it was while it was read.
struct VerifiedFile
{
    QString key;
    platform::FileStat stat;
    quint32 crc = 0;
};

struct VerificationResult
{
    QList<QString> bad;           // keys to fetch, in manifest order
    QSet<QString> stagedValid;    // keys whose correct copy waits in the staging folder
    QList<VerifiedFile> verified; // read and correct: worth recording
};

// Checks a game folder against the manifest's entries by CRC-32 on the global
// thread pool, in batches, reporting each file read on the calling thread.
// Files a trusted record vouches for are looked at first, in large chunks, and
// counted together.
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

    struct Task
    {
        QString key;
        QString checksum;
    };
    struct Batch
    {
        QList<QString> bad;
        QList<QString> stagedValid;
        QList<VerifiedFile> verified;
        QList<Task> unread; // left by the look at the record, for reading
    };
    struct Progress;

signals:
    void started(int totalFiles);
    void progress(int filesChecked, int totalFiles);
    void finished(const VerificationResult &result);

private:
    void run(const QList<QList<Task>> &batches, bool vouching);
    void onBatchesDone();

    QFutureWatcher<Batch> *watcher = nullptr;
    bool vouching = false;
    QSharedPointer<Progress> shared;
    QString folder;
    QJsonObject entries;
    VerificationOptions options;
    bool interrupted = false;
};
