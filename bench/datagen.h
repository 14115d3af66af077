#pragma once

#include <QString>

// Writes a reproducible game installation below `folder`: a few 256 MiB
// archives, a few hundred files of 1-4 MiB, thousands of 1-64 KiB, dot-files
// and the installation marker. Returns the number of bytes written, -1 on error.
qint64 generateInstallation(const QString &folder);
