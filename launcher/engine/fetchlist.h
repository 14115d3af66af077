#pragma once

#include "downloaditem.h"
#include "verification.h"

#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>

class QObject;

// What the last verification found to fetch, what the run since has fetched
// and checked, and the staged copies found correct: the keys a move into the
// game folder may take.
class FetchList final
{
public:
    // Forgets what an earlier manifest asked for.
    void clear();
    void verified(const VerificationResult &result);

    bool nothingToFetch() const { return toFetch.isEmpty(); }
    // Neither a file to fetch nor a staged copy waiting: the folder holds the build.
    bool folderComplete() const { return toFetch.isEmpty() && staged.isEmpty(); }

    // The items to fetch, in start order, as the manifest `table` describes them,
    // built on a pool thread from what is read here and handed to `ready` on the
    // thread of `context`, unless `context` is gone by then.
    void buildItems(const QJsonObject &table, QObject *context,
                    std::function<void(const QList<DownloadItem> &)> ready) const;
    // A run starts with `items`; returns the bytes they declare.
    qint64 beginRun(const QList<DownloadItem> &items);
    void fetched(const QString &key) { checked.insert(key); }

    // What a move after the run takes in: fetched now, or found correct in staging.
    QSet<QString> readyAfterRun() const { return checked + staged; }
    const QSet<QString> &stagedValid() const { return staged; }
    // Files of `table` found correct in the game folder: a run fetches none of them.
    QSet<QString> foundCorrect(const QJsonObject &table) const;
    void movedIn(const QSet<QString> &keys);

private:
    QList<QString> toFetch;
    QSet<QString> checked; // downloaded and checked by this run
    QSet<QString> staged;  // staged copies the last verification found correct
};
