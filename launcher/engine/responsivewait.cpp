#include "responsivewait.h"

#include <QEventLoop>
#include <QThread>

#include <memory>

void runWhileResponsive(const std::function<void()> &work)
{
    QEventLoop loop;
    const std::unique_ptr<QThread> worker(QThread::create(work));
    QObject::connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    if (!worker->isRunning() && !worker->isFinished()) {
        // No thread to be had: blocking is better than not doing the work.
        work();
        return;
    }
    // A nested loop rather than processEvents(): objects whose deletion the
    // callers have scheduled stay alive until control is back with them.
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    // Also reached early when the application quits, which ends every loop.
    worker->wait();
}
