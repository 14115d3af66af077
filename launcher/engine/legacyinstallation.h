#pragma once

#include "result.h"

#include <QString>

// An installation made by the earlier installer below the roaming
// application-data folder, with its client data archive "data.bin".
class LegacyInstallation final
{
public:
    static QString directory();
    // A completed one: its folder holds the installation marker.
    static bool exists();
    // Unpacks "data.bin" into the legacy folder and removes it; nothing to do without one.
    static Status unpackArchive();
};
