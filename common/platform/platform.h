#pragma once

#include <QDir>
#include <QString>

// Operating-system services behind one interface; platform_win.cpp and
// platform_unix.cpp implement the parts that differ. Rules that depend only on
// the OS take it as a parameter so both sides can be tested anywhere.
namespace platform {

enum class Os { Windows, Other };

Os hostOs();

// Executable names in the product profile are written for Windows ("game.exe").
QString executableFileName(const QString &profileName, Os os = hostOs());

// Key of the profile's defaultPaths object that holds this OS's install template.
QString defaultPathTemplateKey(Os os = hostOs());

// Extra filters for walks that must see every file: a leading dot hides
// nothing on Windows, so elsewhere dot-files are included explicitly.
QDir::Filters everyFileFilter(Os os = hostOs());

// Where the executable carries no version resource, take its version from the build.
void applyBuildVersion();

} // namespace platform
