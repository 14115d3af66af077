#include "platform/platform.h"

namespace platform {

QString executableFileName(const QString &profileName, Os os)
{
    if (os == Os::Other && profileName.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive))
        return profileName.chopped(4);
    return profileName;
}

QString defaultPathTemplateKey(Os os)
{
    return os == Os::Windows ? QStringLiteral("windows") : QStringLiteral("other");
}

QDir::Filters everyFileFilter(Os os)
{
    return os == Os::Windows ? QDir::Filters() : QDir::Filters(QDir::Hidden);
}

} // namespace platform
