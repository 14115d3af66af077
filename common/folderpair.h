#pragma once

#include "platform/platform.h"
#include "result.h"

#include <QString>
#include <QStringList>

// `path` as the file system resolves it: the nearest existing ancestor made
// canonical (links and ".." resolved), the part that does not exist yet appended.
// Empty for an empty or relative path.
QString resolvedFolder(const QString &path);

// Whether two folders are the same or one lies inside the other once resolved
// (trailing separators, links, letter case on Windows). Moving or deleting
// between such a pair would destroy the tree it works on.
bool foldersOverlap(const QString &a, const QString &b, platform::Os os = platform::hostOs());

// The list file that tells the file mover which entries (relative paths with "/"
// separators) to move or delete; one entry a line, UTF-8.
Status writeEntryList(const QString &path, const QStringList &entries);

struct EntryList
{
    bool ok = false;
    QString error;
    QStringList entries;
};
EntryList readEntryList(const QString &path);
