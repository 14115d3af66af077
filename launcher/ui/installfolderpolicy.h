#pragma once

#include <QString>
#include <QStringList>

// Which folders the game may be installed into. The game folder is later
// moved, verified and uninstalled as a whole, so it must not be shared with the
// player's own files, the system's temporary files or the launcher.
struct InstallFolderContext
{
    QString currentInstall; // the folder in use now
    QString launcherFolder;
    QString legacyFolder;
    QString stagingFolder;
    QStringList temporaryFolders;
    QStringList userFolders; // home and the standard folders below it
};

enum class FolderVerdict
{
    Acceptable,
    Unchanged,
    NotAFolder,
    DriveRoot,
    LauncherFolder,
    AboveLauncher,
    UserFolder,
    TemporaryFolder,
    LegacyFolder,
    InsideOrAboveInstall
};

// The context of this machine and build (needs Settings::instance).
InstallFolderContext currentInstallFolderContext();

FolderVerdict judgeInstallFolder(const QString &candidate, const InstallFolderContext &context);

// Whether a folder that does not look like an installation already holds
// something, so the player should confirm mixing the game into it.
bool holdsForeignFiles(const QString &folder);

// The nearest existing folder at or above `path`; empty when none exists.
QString nearestExistingFolder(const QString &path);
