#pragma once

#include "platform/platform.h"

#include <QString>
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

// The one spelling of a safe key that every user of it takes (address, staging
// path, game path, record): one leading "/", one "/" between segments, no empty
// or "." segments. The empty key stays empty; any other key that names no file
// becomes "/".
QString normalizedFileKey(QStringView safeKey);

// A key that names a file, spelled as normalizedFileKey gives it (one pass, no copies).
bool isNormalizedFileKey(QStringView key);

// A normalised key's path below the folder it is joined to (empty for no file).
inline QStringView fileKeyPath(QStringView normalizedKey)
{
    return normalizedKey.startsWith(QLatin1Char('/')) ? normalizedKey.mid(1) : normalizedKey;
}

// Two normalised keys name the same file exactly when these are equal: Windows
// finds files whatever their letter case.
QString fileKeyIdentity(const QString &normalizedKey, platform::Os os = platform::hostOs());
