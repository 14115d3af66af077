#include "platform/platform.h"

namespace platform {

Os hostOs()
{
    return Os::Windows;
}

void applyBuildVersion()
{
    // The version resource (launcher.rc) supplies the version; Qt reads it.
}

} // namespace platform
