#include "speedtext.h"

QString speedText(qint64 bytesPerSecond)
{
    constexpr qint64 kib = 1024;
    constexpr qint64 mib = 1024 * 1024;
    if (bytesPerSecond > mib)
        return QStringLiteral("%1 MB/s").arg(bytesPerSecond / double(mib), 0, 'f', 1);
    if (bytesPerSecond <= kib)
        return QStringLiteral("%1 B/s").arg(bytesPerSecond);
    return QStringLiteral("%1 KB/s").arg(bytesPerSecond / double(kib), 0, 'f', 1);
}
