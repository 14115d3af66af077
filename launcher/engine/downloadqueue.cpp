#include "downloadqueue.h"

#include <algorithm>

void DownloadQueue::reset(const QList<DownloadItem> &list)
{
    items = list;
    next = 0;
    started.clear();
    QList<QPair<qint64, QString>> sized;
    for (const DownloadItem &item : list) {
        if (item.size > 0)
            sized.append({item.size, item.key});
    }
    // Stable, so equal sizes keep their list order: the first of them is the one taken.
    std::stable_sort(sized.begin(), sized.end(),
                     [](const auto &a, const auto &b) { return a.first > b.first; });
    keysBySize.clear();
    keysBySize.reserve(sized.size());
    for (const auto &entry : std::as_const(sized))
        keysBySize.append(entry.second);
    keysBySizeCursor = 0;
}

void DownloadQueue::clear()
{
    reset({});
}

DownloadItem DownloadQueue::takeNext()
{
    const DownloadItem item = items.at(next++);
    started.insert(item.key);
    return item;
}

std::optional<DownloadItem> DownloadQueue::takeLargestWaiting(const QSet<QString> &running)
{
    while (keysBySizeCursor < keysBySize.size() &&
           started.contains(keysBySize.at(keysBySizeCursor)))
        ++keysBySizeCursor;
    for (qsizetype i = keysBySizeCursor; i < keysBySize.size(); ++i) {
        const QString &key = keysBySize.at(i);
        if (started.contains(key) || running.contains(key))
            continue;
        started.insert(key);
        const qsizetype at =
            std::find_if(items.cbegin(), items.cend(),
                         [&key](const DownloadItem &item) { return item.key == key; }) -
            items.cbegin();
        const DownloadItem item = items.at(at);
        // It takes the place of the next item: the items it passed stay waiting.
        if (at >= next)
            items.move(at, next++);
        return item;
    }
    return std::nullopt;
}
