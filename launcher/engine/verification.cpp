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
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentMap>

struct Verification::Progress
{
    QMutex mutex;
    int filesChecked = 0;
    int totalFiles = 0;
};

namespace {

QString joinedPath(const QString &folder, const QString &relativePath)
{
    return QDir::toNativeSeparators(QDir::cleanPath(folder + QLatin1Char('/') + relativePath));
}

// Reads the file at `path`; when it is correct and was not changed while it was
// read, `verified` says how it is now.
bool isGoodInstalledFile(const QString &path, const QString &expectedChecksum,
                         std::optional<platform::FileStat> &verified)
{
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile() || !info.isReadable())
        return false;
    const std::optional<platform::FileStat> before = platform::regularFileStat(path);
    const QString checksum = fileChecksum(path);
    if (checksum.isEmpty() || checksum != expectedChecksum)
        return false;
    const std::optional<platform::FileStat> after = platform::regularFileStat(path);
    if (before && after && *before == *after)
        verified = after;
    return true;
}

bool isStagedFileValid(const QString &stagingDir, const QString &relativePath,
                       const QString &expectedChecksum)
{
    const QString path = joinedPath(stagingDir, relativePath);
    return QFile::exists(path) && fileChecksum(path) == expectedChecksum;
}

QList<Verification::Task> tasksOf(const QJsonObject &entries)
{
    QList<Verification::Task> tasks;
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

// Posting under the lock keeps the reports in increasing order.
void report(Verification *self, Verification::Progress &progress, int files)
{
    QMutexLocker lock(&progress.mutex);
    const int checked = progress.filesChecked += files;
    const int total = progress.totalFiles;
    QMetaObject::invokeMethod(
        self, [self, checked, total] { emit self->progress(checked, total); },
        Qt::QueuedConnection);
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

    const QList<Task> tasks = tasksOf(entries);
    if (tasks.isEmpty()) {
        emit finished({});
        return;
    }
    shared = QSharedPointer<Progress>::create();
    shared->totalFiles = static_cast<int>(tasks.size());
    const QSharedPointer<Progress> current = shared;
    emit started(shared->totalFiles);
    // A slot may have started a new run meanwhile; this one is then already stopped.
    if (shared != current)
        return;

    if (options.trustRecord && !options.record.isEmpty()) {
        // A look costs a stat, not a read: a few large chunks, one report each.
        const int chunks = 4 * qMax(1, QThread::idealThreadCount());
        run(splitIntoBatches(tasks, int((tasks.size() + chunks - 1) / chunks)), true);
    } else {
        run(splitIntoBatches(tasks, QThread::idealThreadCount()), false);
    }
}

void Verification::run(const QList<QList<Task>> &batches, bool vouching)
{
    this->vouching = vouching;
    auto *const watching = new QFutureWatcher<Batch>(this);
    watcher = watching;
    connect(watching, &QFutureWatcherBase::finished, this, &Verification::onBatchesDone);

    Verification *self = this;
    const QSharedPointer<Progress> progress = shared;
    const QString folder = this->folder;
    const QString stagingDir = options.stagingFolder;
    const InstallRecord record = vouching ? options.record : InstallRecord();
    auto checkBatch = [self, progress, folder, stagingDir, record,
                       vouching](const QList<Task> &batch) -> Batch {
        Batch result;
        if (vouching) {
            for (const Task &task : batch) {
                const std::optional<quint32> crc = parseCrc32Hex(task.checksum);
                if (!crc || !record.vouchesFor(task.key, *crc))
                    result.unread.append(task);
            }
            report(self, *progress, int(batch.size() - result.unread.size()));
            return result;
        }
        for (const Task &task : batch) {
            const QString path = joinedPath(folder, task.key);
            std::optional<platform::FileStat> verified;
            if (!isGoodInstalledFile(path, task.checksum, verified)) {
                // A correct staged copy is what a run would fetch: it is moved in instead.
                if (isStagedFileValid(stagingDir, task.key, task.checksum))
                    result.stagedValid.append(task.key);
                else
                    result.bad.append(task.key);
            } else if (verified) {
                result.verified.append({task.key, *verified, *parseCrc32Hex(task.checksum)});
            }
            report(self, *progress, 1);
        }
        return result;
    };
    watching->setFuture(QtConcurrent::mapped(QThreadPool::globalInstance(), batches, checkBatch));
}

void Verification::stop()
{
    shared.reset();
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
    const QList<Batch> batches = watcher->future().results();
    watcher->deleteLater();
    watcher = nullptr;
    if (vouching) {
        QList<Task> unread;
        for (const Batch &batch : batches)
            unread.append(batch.unread);
        if (!unread.isEmpty()) {
            run(splitIntoBatches(unread, QThread::idealThreadCount()), false);
            return;
        }
    }
    VerificationResult result;
    for (const Batch &batch : batches) {
        result.bad.append(batch.bad);
        result.verified.append(batch.verified);
        for (const QString &key : batch.stagedValid)
            result.stagedValid.insert(key);
    }
    shared.reset();
    emit finished(result);
}
