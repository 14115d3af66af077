#include "filekey.h"

#include <QList>
#include <QString>

namespace {

// Control characters, and what Windows reads as a separator, drive or stream.
bool isForbiddenCharacter(QChar c)
{
    const char16_t u = c.unicode();
    return u < 0x20 || u == 0x7f || u == u'\\' || u == u':';
}

} // namespace

bool isContainedRelativePath(QStringView path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')))
        return false;
    for (const QChar c : path) {
        if (isForbiddenCharacter(c))
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
    // Most keys are already in their one spelling: checked in one pass.
    if (isNormalizedFileKey(key))
        return true;
    if (key.startsWith(QLatin1Char('/')))
        key = key.mid(1);
    return isContainedRelativePath(key);
}

QString normalizedFileKey(QStringView safeKey)
{
    if (safeKey.isEmpty())
        return {};
    if (isNormalizedFileKey(safeKey))
        return safeKey.toString();
    QString key;
    key.reserve(safeKey.size() + 1);
    for (const QStringView segment : safeKey.split(QLatin1Char('/'))) {
        if (segment.isEmpty() || segment == QLatin1String("."))
            continue;
        key += QLatin1Char('/');
        key += segment;
    }
    return key.isEmpty() ? QStringLiteral("/") : key;
}

QString fileKeyIdentity(const QString &normalizedKey, platform::Os os)
{
    return os == platform::Os::Windows ? normalizedKey.toCaseFolded() : normalizedKey;
}

bool isNormalizedFileKey(QStringView key)
{
    if (key.size() < 2 || key.front() != QLatin1Char('/'))
        return false;
    qsizetype segmentStart = 1;
    for (qsizetype i = 1; i <= key.size(); ++i) {
        if (i == key.size() || key[i] == QLatin1Char('/')) {
            const QStringView segment = key.sliced(segmentStart, i - segmentStart);
            if (segment.isEmpty() || segment == QLatin1String(".") ||
                segment == QLatin1String(".."))
                return false;
            segmentStart = i + 1;
            continue;
        }
        if (isForbiddenCharacter(key[i]))
            return false;
    }
    return true;
}
