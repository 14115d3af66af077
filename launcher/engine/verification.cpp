#include "batches.h"
#include "checksum.h"
#include "settings.h"
#include "updater.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

} // namespace

QList<QString> Updater::verifyInstallation()
{
    // During a run or a move the folder and the fetch list are not ours to reset.
    if (!fileWorkAllowed())
        return {};
    stopVerification();
    verificationResults.clear();
    filesToDownload.clear();

    QList<VerificationTask> tasks;
    for (auto it = manifestFiles.constBegin(); it != manifestFiles.constEnd(); ++it) {
        const QString key = it.key();
        const QJsonValue checksumValue = it.value().toObject().value(QLatin1String("checksum"));
        const QString checksum = checksumValue.isString() ? checksumValue.toString() : QString();
        if (key.isEmpty() || checksum.isEmpty() || key.contains(QChar(u'\0')) ||
            key == QLatin1String("/"))
            continue;
        tasks.append({key, checksum});
    }

    stagedValid.clear();
    if (tasks.isEmpty()) {
        // Nothing to check means nothing to fetch; silence would leave the
        // window in its checking state with every control disabled.
        setState(State::Idle);
        emit noUpdateAvailable();
        return verificationResults;
    }

    setState(State::Verifying);
    auto *const watcher = new QFutureWatcher<VerifiedBatch>(this);
    verificationWatcher = watcher;
    auto progress = QSharedPointer<SharedProgress>::create();
    progress->totalFiles = static_cast<int>(tasks.size());
    connect(verificationWatcher, &QFutureWatcherBase::finished, this,
            &Updater::onVerificationFinished);

    emit verificationStarted(progress->totalFiles);
    // A slot may have started a new run meanwhile; this one is then already stopped.
    if (verificationWatcher != watcher)
        return verificationResults;

    // Taken here on the GUI thread: workers never touch Settings, which the
    // window may already have deleted when it tears the engine down.
    const QString installDir = Settings::installPath();
    const QString stagingDir = stagingDirectory();
    Updater *updater = this;

    auto verifyBatch = [updater, progress, installDir,
                        stagingDir](const QList<VerificationTask> &batch) -> VerifiedBatch {
        VerifiedBatch result;
        for (const VerificationTask &task : batch) {
            const QString path = joinedPath(installDir, task.relativePath);
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
                updater,
                [updater, checked, total] { emit updater->verificationProgress(checked, total); },
                Qt::QueuedConnection);
        }
        return result;
    };

    const auto batches = splitIntoBatches(tasks, QThread::idealThreadCount());
    verificationWatcher->setFuture(
        QtConcurrent::mapped(QThreadPool::globalInstance(), batches, verifyBatch));
    return verificationResults;
}

void Updater::stopVerification()
{
    if (!verificationWatcher)
        return;
    // A stopped run must never publish its result.
    disconnect(verificationWatcher, nullptr, this, nullptr);
    if (verificationWatcher->isRunning()) {
        verificationWatcher->cancel();
        verificationWatcher->waitForFinished();
    }
    // Later, not now: we may be inside this watcher's own finished() emission.
    verificationWatcher->deleteLater();
    verificationWatcher = nullptr;
}

void Updater::onVerificationFinished()
{
    const QList<VerifiedBatch> batches = verificationWatcher->future().results();
    for (const VerifiedBatch &batch : batches) {
        verificationResults.append(batch.bad);
        for (const QString &key : batch.stagedValid)
            stagedValid.insert(key);
    }
    filesToDownload = verificationResults;
    setState(State::Idle);

    if (!filesToDownload.isEmpty())
        emit updateAvailable(isInstalled() ? QStringLiteral("update") : QStringLiteral("install"));
    else
        emit noUpdateAvailable();
}
