#include "recordkeeper.h"

#include "checksum.h"

#include <QDebug>

InstallRecordStore RecordKeeper::store()
{
    // Read at each use: the player's data folder follows the application's names.
    return InstallRecordStore(InstallRecordStore::defaultFolder());
}

void RecordKeeper::save(const InstallRecord &record)
{
    const Status saved = store().save(record);
    if (!saved)
        qWarning().noquote() << "Could not keep the install record:" << saved.message();
}

InstallRecord RecordKeeper::load(const QString &installFolder) const
{
    return store().load(installFolder);
}

namespace {

InstallRecord loadOrStart(const InstallRecordStore &store, const QString &installFolder)
{
    InstallRecord record = store.load(installFolder);
    if (record.isEmpty())
        record = InstallRecord(InstallRecordStore::canonicalFolder(installFolder), QString());
    return record;
}

} // namespace

void RecordKeeper::note(InstallRecord &record, const QString &installFolder,
                        const QList<VerifiedFile> &files, const QString &build) const
{
    if (record.isEmpty())
        record = InstallRecord(InstallRecordStore::canonicalFolder(installFolder), QString());
    if (record.isEmpty())
        return; // no folder
    bool changed = false;
    for (const VerifiedFile &file : files) {
        const InstallRecord::File noted{file.stat, file.crc};
        const InstallRecord::File *known = record.find(file.key);
        if (!known || !(*known == noted)) {
            record.insert(file.key, noted);
            changed = true;
        }
    }
    if (!build.isEmpty() && record.build() != build) {
        record.setBuild(build);
        changed = true;
    }
    if (changed)
        save(record);
}

void RecordKeeper::noteInstalled(const QString &installFolder, const QStringList &keys,
                                 const QJsonObject &table, const QString &build) const
{
    InstallRecord record = loadOrStart(store(), installFolder);
    if (record.isEmpty())
        return;
    for (const QString &key : keys) {
        const std::optional<quint32> crc =
            parseCrc32Hex(table.value(key).toObject().value(QLatin1String("checksum")).toString());
        if (crc)
            record.recordFile(key, *crc);
        else
            record.remove(key);
    }
    if (!build.isEmpty())
        record.setBuild(build);
    save(record);
}

void RecordKeeper::forget(const QString &installFolder, const QStringList &keys) const
{
    if (keys.isEmpty())
        return;
    InstallRecord record = store().load(installFolder);
    forget(record, keys);
}

void RecordKeeper::forget(InstallRecord &record, const QStringList &keys) const
{
    if (record.isEmpty() || keys.isEmpty())
        return;
    for (const QString &key : keys)
        record.remove(key);
    save(record);
}

void RecordKeeper::remove(const QString &canonicalFolder) const
{
    const Status removed = store().remove(canonicalFolder);
    if (!removed)
        qWarning().noquote() << "Could not remove the install record:" << removed.message();
}

void RecordKeeper::carry(const QString &from, const QString &to,
                         const QHash<QString, quint32> &files, const QString &build) const
{
    InstallRecord moved = loadOrStart(store(), to);
    if (moved.isEmpty())
        return;
    moved.setBuild(build);
    // Moved, not rewritten: the content is the one known, wherever the bytes now lie.
    for (auto it = files.constBegin(); it != files.constEnd(); ++it)
        moved.recordFile(it.key(), it.value());
    save(moved);
    if (!from.isEmpty() && from != moved.installFolder())
        remove(from);
}
