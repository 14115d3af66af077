#include "downloadorder.h"

#include <algorithm>

DownloadOrder::DownloadOrder(const QList<qint64> &fileSizes)
    : sizes(fileSizes), taken(fileSizes.size(), false)
{
    for (qsizetype i = 0; i < sizes.size(); ++i) {
        if (sizes.at(i) > 0)
            bySize.append(i);
    }
    std::stable_sort(bySize.begin(), bySize.end(),
                     [this](qsizetype a, qsizetype b) { return sizes.at(a) > sizes.at(b); });
    started.reserve(sizes.size());
}

qsizetype DownloadOrder::takeNext()
{
    while (listCursor < taken.size() && taken.at(listCursor))
        ++listCursor;
    if (listCursor == taken.size())
        return -1;
    taken[listCursor] = true;
    started.append(listCursor);
    return listCursor;
}

qsizetype DownloadOrder::takeLargest()
{
    while (sizeCursor < bySize.size() && taken.at(bySize.at(sizeCursor)))
        ++sizeCursor;
    if (sizeCursor == bySize.size())
        return -1;
    const qsizetype index = bySize.at(sizeCursor);
    taken[index] = true;
    started.append(index);
    return index;
}
