#pragma once

#include "installrecord.h"
#include "platform/platform.h"
#include "result.h"

#include <QString>

// Keeps one install record per game folder, with the player's data (never in
// the game folder, which may be read-only or shared), named after the folder's
// canonical path.
class InstallRecordStore final
{
public:
    // `folder` holds the records; the engine's is defaultFolder().
    explicit InstallRecordStore(QString folder, platform::Os os = platform::hostOs());
    static QString defaultFolder();

    // The canonical path of an existing folder; empty otherwise.
    static QString canonicalFolder(const QString &installFolder);

    // The record of `installFolder`; an empty one when there is none, or it is
    // unreadable, damaged, or was written for another folder.
    InstallRecord load(const QString &installFolder) const;
    // Whole or not at all: a temporary file, flushed to disk, renamed over the old one.
    Status save(const InstallRecord &record) const;
    // Takes the canonical path, known before the folder went away.
    Status remove(const QString &canonicalFolder) const;

private:
    QString fileFor(const QString &canonicalFolder) const;

    QString folder;
    platform::Os os;
};
