#pragma once

#include "chunkstore.h"
#include "result.h"

#include <QHash>
#include <QLockFile>
#include <QString>

#include <memory>

// A chunk being written; renamed to its name when whole.
inline const QString partSuffix = QStringLiteral(".part");

// The chunk store of a published folder, as publish and prune work on it: its
// folders checked to be real folders (never links leading elsewhere), and a
// lock so that a prune never deletes what a publish running beside it has
// just written.
class StoreFolder final
{
public:
    // `outDir` is canonical. With `create`, makes the folders that are missing;
    // without (to remove files), refuses folders other users can write.
    static Result<std::unique_ptr<StoreFolder>> open(const QString &outDir, bool create);

    QString path(const QString &relative) const { return outDir + relative; }
    QString buildsFolder() const;

    // The chunks on disk and their stored sizes; only names the store writes.
    // `leftovers` gets the chunks a killed publish left half written.
    QHash<ChunkId, qint64> chunks(QStringList *leftovers = nullptr) const;

private:
    explicit StoreFolder(const QString &outDir);
    QString outDir;
    QLockFile lock;
};
