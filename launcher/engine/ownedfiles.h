#pragma once

#include "installrecord.h"
#include "result.h"

#include <QJsonObject>
#include <QStringList>

// Which files of a game folder are the launcher's to remove or move: what it
// installed itself and nobody changed since, never the player's own files.
struct OwnedFiles
{
    QStringList keys;    // the launcher's, as it left them
    QStringList changed; // once the launcher's, changed since: they stay
};

// The recorded file at `key` is as the launcher left it: unchanged, or (when its
// size, time or identity differ) with the recorded content. May read the file.
bool isLaunchersFile(const InstallRecord &record, const QString &key);

// The files of `record` still as the launcher left them. Without a record (a
// folder installed before records were kept) the files of `manifest` whose size
// and content match their entry. Reads files: call it off the GUI thread.
OwnedFiles ownedFiles(const InstallRecord &record, const QJsonObject &manifest,
                      const QString &folder);

// Files of `record` that `manifest` no longer lists. Only unchanged ones (size,
// time and identity) are the launcher's to remove; it never reads them.
OwnedFiles droppedFiles(const InstallRecord &record, const QJsonObject &manifest);

// Paths below `folder` that stand where the files of `keys` must go: a file
// where a folder is needed, or a folder where a file is needed. Each must hold
// only the launcher's files (listed, to be removed first); the failure names
// the first entry that is the player's.
Result<QStringList> entriesInTheWay(const QStringList &keys, const InstallRecord &record,
                                    const QString &folder);
