#include "downloaditem.h"

#include "enginefolders.h"
#include "settings.h"

#include <algorithm>

QList<DownloadItem> downloadItems(const QList<QString> &keys, const QJsonObject &table,
                                  const QString &updateUrl, const QString &stagingFolder)
{
    QList<DownloadItem> items;
    items.reserve(keys.size());
    for (const QString &key : keys) {
        const QJsonObject entry = table.value(key).toObject();
        const QJsonValue size = entry.value(QLatin1String("size"));
        const qint64 declared = size.isDouble() ? qMax<qint64>(size.toInteger(0), 0) : -1;
        items.append({key, downloadUrl(updateUrl, key),
                      EngineFolders::stagingPathIn(stagingFolder, key), declared,
                      entry.value(QLatin1String("checksum")).toString()});
    }
    const auto largest = std::max_element(
        items.begin(), items.end(), [](const auto &a, const auto &b) { return a.size < b.size; });
    if (largest != items.end() && largest->size > 0)
        std::rotate(items.begin(), largest, largest + 1);
    return items;
}

QUrl downloadUrl(const QString &key)
{
    return downloadUrl(Settings::instance->updateUrl, key);
}

QUrl downloadUrl(const QString &updateUrl, const QString &key)
{
    // "/" stays literal: Apache refuses "%2F" in a path unless told otherwise,
    // and servers that decode it treat both forms alike.
    return QUrl(updateUrl +
                    QString::fromLatin1(QUrl::toPercentEncoding(key, QByteArrayLiteral("/"))),
                QUrl::TolerantMode);
}
