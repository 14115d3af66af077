#include "fetchlist.h"

void FetchList::clear()
{
    toFetch.clear();
    staged.clear();
}

void FetchList::verified(const VerificationResult &result)
{
    toFetch = result.bad;
    staged = result.stagedValid;
}

QList<DownloadItem> FetchList::beginRun(const QJsonObject &table)
{
    checked.clear();
    const QList<DownloadItem> items = downloadItems(toFetch, table);
    toFetch.clear();
    for (const DownloadItem &item : items)
        toFetch.append(item.key);
    return items;
}

void FetchList::movedIn(const QSet<QString> &keys)
{
    for (const QString &key : keys) {
        checked.remove(key);
        staged.remove(key);
    }
}
