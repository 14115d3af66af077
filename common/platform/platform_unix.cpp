#include "platform/platform.h"

#include <QCoreApplication>

namespace platform {

Os hostOs()
{
    return Os::Other;
}

void applyBuildVersion()
{
    QCoreApplication::setApplicationVersion(QStringLiteral(LAUNCHER_FILE_VERSION));
}

} // namespace platform
