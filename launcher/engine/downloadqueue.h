#pragma once

#include "downloaditem.h"

#include <QList>
#include <QSet>
#include <QString>

#include <optional>

// The order in which a run starts its files: the given order, except that when
// the largest running file finishes, the largest file not yet started goes next,
// so big files do not end up alone at the tail of the run.
class DownloadQueue final
{
public:
    void reset(const QList<DownloadItem> &items);
    void clear();

    bool atEnd() const { return next >= items.size(); }
    // The next item in order; the queue must not be at its end.
    DownloadItem takeNext();
    // The largest waiting item above size 0 whose key is not in `running`,
    // the first of equal sizes; taken out of order.
    std::optional<DownloadItem> takeLargestWaiting(const QSet<QString> &running);

private:
    QList<DownloadItem> items;
    qsizetype next = 0;
    // Keys of the items above size 0, largest first and in list order among
    // equals: a refill walks a cursor instead of rescanning the list.
    QList<QString> keysBySize;
    qsizetype keysBySizeCursor = 0;
    QSet<QString> started;
};
