#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

namespace platform {

// What tells a file apart without reading it: its size, its last write time and
// which file it is (inode and device on Linux, file index and volume on Windows).
struct FileStat
{
    qint64 size = 0;
    qint64 modified = 0; // in the system's own unit; only ever compared
    quint64 device = 0;
    quint64 file = 0;

    bool operator==(const FileStat &other) const
    {
        return size == other.size && modified == other.modified && device == other.device &&
               file == other.file;
    }
    bool operator!=(const FileStat &other) const { return !(*this == other); }
};

// The regular file at `path` itself, not what a link there leads to; nothing for
// a link, a folder, anything else or no entry at all.
std::optional<FileStat> regularFileStat(const QString &path);

} // namespace platform
