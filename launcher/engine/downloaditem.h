#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QUrl>

// One file of a download run.
struct DownloadItem
{
    QString key;         // the manifest key
    QUrl url;            // where the server has it
    QString stagingPath; // where it waits until the file mover takes it
    qint64 size = -1;    // bytes the manifest declares; -1 when it declares no number
    QString checksum;    // CRC-32 as 8 lower-case hex digits
    // A piece the caller can do without: its failure drops only this item
    // (DownloadRun::fileFailed) instead of ending the run.
    bool optional = false;
    // The caller checks the bytes itself (a chunk by its SHA-256); only the size is checked here.
    bool checkedByCaller = false;
};

// The items of `keys` as the manifest `table` describes them, in start order:
// the largest first, so it does not end up alone at the tail of the run.
// Reads no preferences, so it may run on a pool thread.
QList<DownloadItem> downloadItems(const QList<QString> &keys, const QJsonObject &table,
                                  const QString &updateUrl, const QString &stagingFolder);

// The download address of a manifest key below the profile's updateUrl.
QUrl downloadUrl(const QString &key);
QUrl downloadUrl(const QString &updateUrl, const QString &key);
