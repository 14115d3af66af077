#pragma once

#include "chunkcache.h"
#include "chunkplan.h"
#include "installrecord.h"
#include "result.h"

#include <QByteArray>
#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>

// The parts of an install from the chunk store that read or write many bytes;
// they run on pool threads, never on the GUI thread.
namespace ChunkWork {

struct Input
{
    QByteArray storedIndex;  // as the server sent it
    QByteArray manifestBody; // the manifest it must belong to
    QJsonObject table;       // that manifest's files
    QStringList wanted;      // keys to fetch
    QString gameDir;
    InstallRecord record;   // of gameDir
    QSet<QString> goodKeys; // files of this build found correct in gameDir
    QString stagingFolder;
};

struct Setup
{
    ChunkIndex target;
    ChunkPlan plan;
    QSet<quint32> cached; // rows of plan.fetch already in the cache, checked
};

// Decodes and checks the index, plans from what the player has (the installed
// build's chunks where the record vouches for a file, else this build's correct
// files) and keeps in the cache only the planned chunks that are whole.
Result<Setup> prepare(const Input &input, const ChunkCache &cache);

// Writes `file` into staging from local copies and cached chunks. On failure
// the cached chunks of the file that are damaged are gone too.
Status assemble(const ChunkIndex &target, const ChunkPlan::File &file, const Input &where,
                const ChunkCache &cache, const std::atomic_bool &stop);

} // namespace ChunkWork
