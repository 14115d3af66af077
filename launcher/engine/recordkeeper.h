#pragma once

#include "installrecordstore.h"
#include "verification.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// Keeps the install record of the game folder in step with what the engine
// does there. Records live with the player's data (InstallRecordStore); one
// that cannot be written only costs speed, so failures are logged, not shown.
class RecordKeeper final
{
public:
    // The record of `installFolder`; empty when there is none or it is unusable.
    InstallRecord load(const QString &installFolder) const;

    // Files found correct below `installFolder`, as they were read, into
    // `record` (started when empty), saved when that changed it. `build`, when
    // given, is the build the folder now holds whole.
    void note(InstallRecord &record, const QString &installFolder, const QList<VerifiedFile> &files,
              const QString &build = {}) const;
    // The manifest's files of `keys` were just moved in.
    void noteInstalled(const QString &installFolder, const QStringList &keys,
                       const QJsonObject &table, const QString &build) const;
    // The files of `keys` are no longer the launcher's to know about.
    void forget(const QString &installFolder, const QStringList &keys) const;
    void forget(InstallRecord &record, const QStringList &keys) const;
    // The game left `canonicalFolder` (uninstalled): its record goes.
    void remove(const QString &canonicalFolder) const;
    // Files moved from the game folder `from` (canonical; empty when it had no
    // record) to `to`, each with its content's CRC-32.
    void carry(const QString &from, const QString &to, const QHash<QString, quint32> &files,
               const QString &build) const;

private:
    static InstallRecordStore store();
    static void save(const InstallRecord &record);
};
