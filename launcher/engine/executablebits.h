#pragma once

#include <QString>

// Downloads arrive without permission bits. Before staged files are moved in
// (the move may run elevated into a folder we cannot change afterwards), the
// game's executable and every staged program or script gets its execute bits.
// Does nothing where programs need no such bits.
void grantExecuteBits(const QString &stagingDir, const QString &gameExecutable);

// Whether the file starts like a program or a script (ELF header or "#!").
bool looksExecutable(const QString &path);
