#include "verification.h"

#include "batches.h"
#include "checksum.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QSharedPointer>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentMap>

namespace {

struct VerificationTask
{
    QString relativePath;
    QString expectedChecksum;
};

struct SharedProgress
{
    QMutex mutex;
    int filesChecked = 0;
    int totalFiles = 0;
};

QString joinedPath(const QString &folder, const QString &relativePath)
{
    return QDir::toNativeSeparators(QDir::cleanPath(folder + QLatin1Char('/') + relativePath));
}

bool isGoodInstalledFile(const QString &path, const QString &expectedChecksum)
{
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile() || !info.isReadable())
        return false;
    const QString checksum = fileChecksum(path);
    return !checksum.isEmpty() && checksum == expectedChecksum;
}

bool isStagedFileValid(const QString &stagingDir, const QString &relativePath,
                       const QString &expectedChecksum)
{
    const QString path = joinedPath(stagingDir, relativePath);
    return QFile::exists(path) && fileChecksum(path) == expectedChecksum;
}

QList<VerificationTask> tasksOf(const QJsonObject &entries)
{
    QList<VerificationTask> tasks;
    for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
        const QString key = it.key();
        const QJsonValue checksumValue = it.value().toObject().value(QLatin1String("checksum"));
        const QString checksum = checksumValue.isString() ? checksumValue.toString() : QString();
        if (key.isEmpty() || checksum.isEmpty() || key.contains(QChar(u'\0')) ||
            key == QLatin1String("/"))
            continue;
        tasks.append({key, checksum});
    }
    return tasks;
}

} // namespace

Verification::Verification(QObject *parent) : QObject(parent) {}

Verification::~Verification()
{
    stop();
}

void Verification::start(const QString &folder, const QJsonObject &entries,
                         const VerificationOptions &options)
{
    stop();
    interrupted = false;
    this->folder = folder;
    this->entries = entries;
    this->options = options;

    const QList<VerificationTask> tasks = tasksOf(entries);
    if (tasks.isEmpty()) {
        emit finished({});
        return;
    }

    auto *const run = new QFutureWatcher<Batch>(this);
    watcher = run;
    auto progress = QSharedPointer<SharedProgress>::create();
    progress->totalFiles = static_cast<int>(tasks.size());
    connect(run, &QFutureWatcherBase::finished, this, &Verification::onBatchesDone);

    emit started(progress->totalFiles);
    // A slot may have started a new run meanwhile; this one is then already stopped.
    if (watcher != run)
        return;

    Verification *self = this;
    const QString stagingDir = options.stagingFolder;
    auto verifyBatch = [self, progress, folder,
                        stagingDir](const QList<VerificationTask> &batch) -> Batch {
        Batch result;
        for (const VerificationTask &task : batch) {
            const QString path = joinedPath(folder, task.relativePath);
            if (!isGoodInstalledFile(path, task.expectedChecksum)) {
                // A correct staged copy is what a run would fetch: it is moved in instead.
                if (isStagedFileValid(stagingDir, task.relativePath, task.expectedChecksum))
                    result.stagedValid.append(task.relativePath);
                else
                    result.bad.append(task.relativePath);
            }

            // Posting under the lock keeps the reports in increasing order.
            QMutexLocker lock(&progress->mutex);
            const int checked = ++progress->filesChecked;
            const int total = progress->totalFiles;
            QMetaObject::invokeMethod(
                self, [self, checked, total] { emit self->progress(checked, total); },
                Qt::QueuedConnection);
        }
        return result;
    };

    const auto batches = splitIntoBatches(tasks, QThread::idealThreadCount());
    run->setFuture(QtConcurrent::mapped(QThreadPool::globalInstance(), batches, verifyBatch));
}

void Verification::stop()
{
    if (!watcher)
        return;
    // A stopped run must never publish its result.
    disconnect(watcher, nullptr, this, nullptr);
    if (watcher->isRunning()) {
        watcher->cancel();
        watcher->waitForFinished();
    }
    // Later, not now: we may be inside this watcher's own finished() emission.
    watcher->deleteLater();
    watcher = nullptr;
}

void Verification::interrupt()
{
    if (!watcher)
        return;
    stop();
    interrupted = true;
}

void Verification::resume()
{
    if (interrupted)
        start(folder, entries, options);
}

void Verification::onBatchesDone()
{
    VerificationResult result;
    const QList<Batch> batches = watcher->future().results();
    for (const Batch &batch : batches) {
        result.bad.append(batch.bad);
        for (const QString &key : batch.stagedValid)
            result.stagedValid.insert(key);
    }
    watcher->deleteLater();
    watcher = nullptr;
    emit finished(result);
}
