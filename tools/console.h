#pragma once

#include <QString>

#include <atomic>

// Results go to stdout, messages and progress to stderr.
void printOut(const QString &line);
void printError(const QString &line);

// Counts finished files from worker threads; the main thread prints a line now
// and then while waiting, but only for runs big enough to need it.
class Progress final
{
public:
    Progress(const QString &label, qint64 totalFiles, qint64 totalBytes);

    void fileDone(qint64 bytes)
    {
        doneFiles.fetch_add(1, std::memory_order_relaxed);
        doneBytes.fetch_add(bytes, std::memory_order_relaxed);
    }

    bool worthShowing() const { return large; }
    void print() const;

private:
    QString label;
    qint64 totalFiles;
    qint64 totalBytes;
    bool large;
    std::atomic<qint64> doneFiles{0};
    std::atomic<qint64> doneBytes{0};
};

// Mebibytes with one decimal, for messages.
QString mebibytes(qint64 bytes);

#include <QEventLoop>
#include <QFuture>
#include <QFutureWatcher>
#include <QTimer>

// Waits for a concurrent run, printing progress every second meanwhile.
template <typename T> QList<T> resultsWithProgress(QFuture<T> future, const Progress &progress)
{
    if (progress.worthShowing()) {
        QFutureWatcher<T> watcher;
        QEventLoop loop;
        QTimer ticker;
        QObject::connect(&watcher, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
        QObject::connect(&ticker, &QTimer::timeout, &loop, [&progress] { progress.print(); });
        watcher.setFuture(future);
        ticker.start(1000);
        if (!future.isFinished())
            loop.exec();
    }
    return future.results();
}
