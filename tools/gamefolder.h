#pragma once

#include "result.h"

#include <QList>
#include <QString>
#include <QStringList>

struct GameFile
{
    QString key;  // "/" + path relative to the game folder, "/" separators
    QString path; // absolute path to read
    qint64 size = 0;
};

struct GameFolderListing
{
    QList<GameFile> files; // in key order
    QStringList problems;  // one line per file that cannot be published
};

// Every file below `folder`, dot-files included, following links only while
// they stay inside the folder. Files whose keys the launcher would refuse,
// links leading outside, broken links and special files are problems.
GameFolderListing listGameFolder(const QString &folder);

// The folder's path with links resolved; fails when it is not a folder.
Result<QString> canonicalFolder(const QString &folder);

// The path with links resolved as far as it exists; the missing rest appended.
QString canonicalPathFor(const QString &path);

// True when `path` is `folder` or lies below it (both canonical).
bool isInsideOrSame(const QString &path, const QString &folder);
