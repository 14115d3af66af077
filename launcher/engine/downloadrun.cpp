#include "downloadrun.h"

#include "enginefolders.h"
#include "settings.h"
#include "transferpool.h"

DownloadRun::DownloadRun(QObject *parent)
    : QObject(parent), pool(std::make_unique<TransferPool>(this))
{
}

DownloadRun::~DownloadRun()
{
    cancel();
    pool.reset();
}

QString DownloadRun::recordFolder()
{
    return EngineFolders::privateDirectory() + QStringLiteral("/parts");
}

void DownloadRun::start(QList<DownloadItem> items, int maxConcurrent)
{
    cancel();
    TransferPool::Run run;
    run.id = ++runId;
    run.items = std::move(items);
    run.maxConcurrent = qMax(maxConcurrent, 1);
    run.userAgent = (Settings::instance->applicationName + QStringLiteral(" Launcher")).toUtf8();
    run.stallTimeoutMs = stallTimeoutMs;
    run.stalledMessage = stalledServerMessage();
    run.recordFolder = recordFolder();
    // The trust store can be pointed elsewhere as for curl.
    run.caFile = qgetenv("SSL_CERT_FILE");
    run.caPath = qgetenv("SSL_CERT_DIR");
    running = true;
    pool->start(std::move(run));
}

void DownloadRun::cancel()
{
    if (!running)
        return;
    running = false;
    ++runId;
    pool->cancel();
}
