#pragma once

#include <QString>

// Unpacks a launcher package over a folder. Entries that would land outside
// the folder (parent references, absolute or drive names) and symbolic links
// are refused; directory entries create their directory.
struct PackageExtraction
{
    bool opened = false;   // the archive could be read at all
    int failedEntries = 0; // entries refused or not written
};

PackageExtraction extractPackage(const QString &archivePath, const QString &targetFolder);
