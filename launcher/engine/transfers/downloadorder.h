#pragma once

#include <QList>
#include <QtGlobal>

// Which file of a run starts next. Files start in list order (the caller puts
// the largest first), except that whenever the largest running file ends, the
// largest file not yet started (above size 0, the first of equal sizes) takes
// its place, so the big files never end up alone at the tail of a run.
class DownloadOrder final
{
public:
    explicit DownloadOrder(const QList<qint64> &sizes);

    // The next file in list order; -1 when every file has started.
    qsizetype takeNext();
    // The largest file not yet started above size 0; -1 when there is none.
    qsizetype takeLargest();

    // Indexes in the order they were taken.
    const QList<qsizetype> &startOrder() const { return started; }

private:
    QList<qint64> sizes;
    QList<qsizetype> bySize; // indexes above size 0, largest first, list order among equals
    QList<bool> taken;
    QList<qsizetype> started;
    qsizetype listCursor = 0;
    qsizetype sizeCursor = 0;
};
