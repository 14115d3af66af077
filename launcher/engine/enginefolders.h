#pragma once

#include "result.h"

#include <QString>

// Where the engine keeps its own files: the staging folder downloads wait in
// until the file mover takes them, and a per-user folder for the mover's lists
// and its lock.
namespace EngineFolders {

QString privateDirectory();
QString stagingDirectory();
// Staging path of a manifest key (one leading "/" dropped).
QString stagingPath(const QString &key);
// The same below `stagingFolder`, for threads that must not read the preferences.
QString stagingPathIn(const QString &stagingFolder, const QString &key);
// Creates both folders for this user alone, or refuses folders another user could write.
Status preparePrivate();

} // namespace EngineFolders
