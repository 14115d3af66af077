#include "filekey.h"

#include <QList>
#include <QString>

bool isContainedRelativePath(QStringView path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')))
        return false;
    for (const QChar c : path) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7f || u == u'\\' || u == u':')
            return false;
    }
    for (const QStringView segment : path.split(QLatin1Char('/'))) {
        if (segment == QLatin1String(".."))
            return false;
    }
    return true;
}

bool isSafeFileKey(QStringView key)
{
    if (key.isEmpty() || key == QLatin1String("/"))
        return true;
    if (key.startsWith(QLatin1Char('/')))
        key = key.mid(1);
    return isContainedRelativePath(key);
}
