#pragma once

#include <QString>

// Unpacks a launcher package into a folder. Every entry is first unpacked and
// checked into a hidden folder inside the target (the same file system); only
// when all are good is each file swapped in with one rename, so a bad package
// or a killed updater leaves the old launcher whole. Entries that would land
// outside the folder (parent references, absolute or drive names) and symbolic
// links are refused; directory entries create their directory. Entries stream
// through a bounded buffer, whatever their size.
struct PackageExtraction
{
    bool opened = false;     // the archive could be read at all
    int failedEntries = 0;   // entries refused, unreadable or not written; then nothing changed
    bool swapFailed = false; // every entry was good but a file could not be swapped in
};

PackageExtraction extractPackage(const QString &archivePath, const QString &targetFolder);
