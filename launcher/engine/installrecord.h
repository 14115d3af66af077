#pragma once

#include "platform/filestat.h"

#include <QByteArray>
#include <QHash>
#include <QString>

// What the launcher put into one game folder: for each file key the file as it
// was left there (size, time, identity) and its CRC-32, and the build it came
// from. It lets the engine trust an unchanged file without reading it, and
// remove or move only what it installed itself.
class InstallRecord final
{
public:
    struct File
    {
        platform::FileStat stat;
        quint32 crc = 0;

        bool operator==(const File &other) const { return stat == other.stat && crc == other.crc; }
    };

    InstallRecord() = default;
    // `folder` is the canonical path of the game folder.
    InstallRecord(QString folder, QString build);

    // An empty record knows nothing: none was kept, or it could not be used.
    bool isEmpty() const { return folder.isEmpty(); }
    const QString &installFolder() const { return folder; }
    const QString &build() const { return buildId; }
    void setBuild(const QString &build) { buildId = build; }

    const QHash<QString, File> &files() const { return entries; }
    const File *find(const QString &key) const;
    void insert(const QString &key, const File &file) { entries.insert(key, file); }
    void remove(const QString &key) { entries.remove(key); }

    // Notes the file now at `key` (a normalised key) with its CRC-32; false, and
    // the key forgotten, when no regular file is there.
    bool recordFile(const QString &key, quint32 crc);

    // Where `key` lies in the game folder.
    QString pathOf(const QString &key) const;

    // The file at `key` is still the one recorded: same size, time and identity.
    bool isUnchanged(const QString &key, const platform::FileStat &now) const;
    // The file at `key` can be taken as having the content `crc` without reading
    // it: recorded with that CRC and unchanged since. Safe from many threads.
    bool vouchesFor(const QString &key, quint32 crc) const;

    QByteArray serialize() const;
    // An empty record for anything that is not a whole, sound record.
    static InstallRecord parse(const QByteArray &bytes);

private:
    QString folder;
    QString buildId;
    QHash<QString, File> entries;
};
