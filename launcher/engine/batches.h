#pragma once

#include <QList>

// Cuts `items`, in order, into consecutive batches of `batchSize` (the last one
// holds the rest), so one pool task covers several items.
template <typename T> QList<QList<T>> splitIntoBatches(const QList<T> &items, int batchSize)
{
    QList<QList<T>> batches;
    const qsizetype size = qMax(batchSize, 1);
    for (qsizetype start = 0; start < items.size(); start += size)
        batches.append(items.mid(start, size));
    return batches;
}
