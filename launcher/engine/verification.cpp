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

    if (tasks.isEmpty()) {
        // Nothing to check means nothing to fetch; silence would leave the
        // window in its checking state with every control disabled.
        emit noUpdateAvailable();
        return verificationResults;
    }

    verificationWatcher = new QFutureWatcher<QList<QString>>(this);
    auto progress = QSharedPointer<SharedProgress>::create();
    progress->totalFiles = static_cast<int>(tasks.size());
    connect(verificationWatcher, &QFutureWatcherBase::finished, this,
            &Updater::onVerificationFinished);

    emit verificationStarted(progress->totalFiles);

    // Taken here on the GUI thread: workers never touch Settings, which the
    // window may already have deleted when it tears the engine down.
    const QString installDir = Settings::installPath();
    const QString stagingDir = stagingDirectory();
    Updater *updater = this;

    auto verifyBatch = [updater, progress, installDir,
                        stagingDir](const QList<VerificationTask> &batch) -> QList<QString> {
        QList<QString> bad;
        for (const VerificationTask &task : batch) {
            const QString path = joinedPath(installDir, task.relativePath);
            if (!isGoodInstalledFile(path, task.expectedChecksum) &&
                !isStagedFileValid(stagingDir, task.relativePath, task.expectedChecksum))
                bad.append(task.relativePath);

            // Posting under the lock keeps the reports in increasing order.
            QMutexLocker lock(&progress->mutex);
            const int checked = ++progress->filesChecked;
            const int total = progress->totalFiles;
            QMetaObject::invokeMethod(
                updater,
                [updater, checked, total] { emit updater->verificationProgress(checked, total); },
                Qt::QueuedConnection);
        }
        return bad;
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
    const QList<QList<QString>> batches = verificationWatcher->future().results();
    for (const QList<QString> &bad : batches)
        verificationResults.append(bad);
    filesToDownload = verificationResults;

    if (!filesToDownload.isEmpty())
        emit updateAvailable(isInstalled() ? QStringLiteral("update") : QStringLiteral("install"));
    else
        emit noUpdateAvailable();
}
