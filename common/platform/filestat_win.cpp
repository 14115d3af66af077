#include "filestat.h"

#include "win32filestat.h"

#include <QDir>

namespace platform {

std::optional<FileStat> regularFileStat(const QString &path)
{
    win32core::FileStat found;
    if (path.isEmpty() ||
        !win32core::regularFileStat(QDir::toNativeSeparators(path).toStdWString(), found))
        return std::nullopt;
    FileStat stat;
    stat.size = qint64(found.size);
    stat.modified = qint64(found.lastWrite);
    stat.device = found.volume;
    stat.file = found.fileIndex;
    return stat;
}

} // namespace platform
