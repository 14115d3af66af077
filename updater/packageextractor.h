#pragma once

#include "result.h"

#include <QString>
#include <QStringList>

// Unpacks a launcher package into `stagingFolder`, checking every entry: names
// that would land outside the folder (parent references, absolute or drive
// names) and symbolic links are refused, and a damaged entry fails its CRC
// check. Entries stream through a bounded buffer, whatever their size, and each
// file reaches the disk. Files that carry no Unix permissions take those of the
// file they will replace in `targetFolder`. Returns the entry names (folders end
// in "/"), or the player's text: "Failed to open zip file" when the archive
// cannot be read at all, "Some files could not be updated" for a bad entry.
Result<QStringList> extractPackage(const QString &archivePath, const QString &stagingFolder,
                                   const QString &targetFolder);
