#include "fetchlist.h"

#include "enginefolders.h"
#include "settings.h"

#include <QtConcurrent>

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

void FetchList::buildItems(const QJsonObject &table, QObject *context,
                           std::function<void(const QList<DownloadItem> &)> ready) const
{
    // Thousands of addresses and paths: too many to build on the window's thread.
    QtConcurrent::run([keys = toFetch, table, updateUrl = Settings::instance->updateUrl,
                       staging = EngineFolders::stagingDirectory()] {
        return downloadItems(keys, table, updateUrl, staging);
    }).then(context, [ready = std::move(ready)](const QList<DownloadItem> &items) {
        ready(items);
    });
}

qint64 FetchList::beginRun(const QList<DownloadItem> &items)
{
    checked.clear();
    toFetch.clear();
    qint64 bytes = 0;
    for (const DownloadItem &item : items) {
        toFetch.append(item.key);
        bytes += qMax<qint64>(item.size, 0);
    }
    return bytes;
}

QSet<QString> FetchList::foundCorrect(const QJsonObject &table) const
{
    QSet<QString> good;
    for (auto it = table.constBegin(); it != table.constEnd(); ++it)
        good.insert(it.key());
    for (const QString &key : toFetch)
        good.remove(key);
    return good - staged;
}

void FetchList::movedIn(const QSet<QString> &keys)
{
    for (const QString &key : keys) {
        checked.remove(key);
        staged.remove(key);
    }
}
