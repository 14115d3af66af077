#pragma once

#include "result.h"

#include <QString>
#include <QStringList>

// Runs the launcher's own file-mover mode: as a plain child process, or
// elevated where Windows protects the destination. Each call waits for the
// mover while the calling thread's event loop keeps painting.
class MoverClient final
{
public:
    // Moves `source` into `destination` (an empty destination deletes), leaving
    // out `ignore`; with a list file only the listed entries.
    static Status run(const QString &source, const QString &destination, const QStringList &ignore,
                      const QString &listFile = {});
    // Deletes the listed entries of `folder` through the elevated mover, without a time limit.
    static Status removeElevated(const QString &folder, const QString &listFile);

    // Waits for a mover that a launcher killed meanwhile may have left at work.
    static void waitForEarlierMover();

    // Refuses a pair the mover must not work on: relative paths, overlapping folders.
    static Status checkFolderPair(const QString &source, const QString &destination);
    static bool isFullPath(const QString &path);

    // Writes a list file for the mover where no other user can write; returns its path.
    static Result<QString> writeList(const QString &name, const QStringList &entries);

    static QString overlappingFoldersMessage();
    static QString relativeFolderMessage();
};
