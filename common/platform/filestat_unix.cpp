#include "filestat.h"

#include <QFile>

#include <sys/stat.h>

namespace platform {

std::optional<FileStat> regularFileStat(const QString &path)
{
    struct stat info
    {
    };
    if (path.isEmpty() || ::lstat(QFile::encodeName(path).constData(), &info) != 0 ||
        !S_ISREG(info.st_mode))
        return std::nullopt;
    FileStat stat;
    stat.size = qint64(info.st_size);
    stat.modified = qint64(info.st_mtim.tv_sec) * 1000000000 + qint64(info.st_mtim.tv_nsec);
    stat.device = quint64(info.st_dev);
    stat.file = quint64(info.st_ino);
    return stat;
}

} // namespace platform
