#pragma once

#include <QStringView>

// File keys of the manifest and entry names of archives are joined to a folder
// (the game folder, the staging folder, the launcher's folder). These checks
// refuse every name that could lead outside that folder or cannot be a file name
// on Windows: ".." segments, backslashes, drive letters and other colons,
// absolute and UNC forms, NUL and other control characters.

// A relative path with "/" separators that stays inside the folder it is joined to.
bool isContainedRelativePath(QStringView path);

// A manifest key: like a contained relative path, but it may begin with one "/".
// The empty key and "/" are accepted (they name no file and are never joined).
bool isSafeFileKey(QStringView key);
