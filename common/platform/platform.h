#pragma once

#include "result.h"

#include <QDir>
#include <QFileDevice>
#include <QList>
#include <QString>
#include <QStringList>

// Operating-system services behind one interface; platform_win.cpp and
// platform_unix.cpp implement the parts that differ. Rules that depend only on
// the OS take it as a parameter so both sides can be tested anywhere.
namespace platform {

enum class Os
{
    Windows,
    Other
};

Os hostOs();

// Executable names in the product profile are written for Windows ("game.exe").
QString executableFileName(const QString &profileName, Os os = hostOs());

// Key of the profile's defaultPaths object that holds this OS's install template.
QString defaultPathTemplateKey(Os os = hostOs());

// Extra filters for walks that must see every file: a leading dot hides
// nothing on Windows, so elsewhere dot-files are included explicitly.
QDir::Filters everyFileFilter(Os os = hostOs());

// Whether downloaded programs need execute permission bits before they can run
// (Windows decides by the file name instead).
bool programsNeedExecuteBits(Os os = hostOs());

// Where the executable carries no version resource, take its version from the build.
void applyBuildVersion();

// --- Elevated programs (Windows: the "runas" verb; Linux: pkexec) ---

struct ElevatedRun
{
    enum class Outcome
    {
        Finished,  // ended by itself; exitCode holds its code
        Declined,  // elevation refused or the program could not be started
        NoProcess, // started, but no process to wait for was handed back
        TimedOut,  // still running at the time limit; it was terminated
        WaitFailed // the wait or the exit code query failed
    };
    Outcome outcome = Outcome::Declined;
    int exitCode = -1;
};

constexpr int NoTimeLimit = -1;

// Starts `program` elevated with a hidden window and waits up to `timeoutMs`
// (NoTimeLimit waits for ever). Blocks the calling thread. On Linux pkexec's
// own exit codes 126 and 127 (prompt dismissed, not authorised) read as Declined.
ElevatedRun runElevated(const QString &program, const QStringList &arguments, int timeoutMs);

// Starts `program` elevated in `workingDirectory` without waiting; false when
// the request itself failed (a declined prompt may still report success).
// The program may show a window (on Linux it gets the caller's display).
bool startElevatedDetached(const QString &program, const QStringList &arguments,
                           const QString &workingDirectory);

// Windows command-line text for `arguments`, quoted so that the standard
// argument parser gives them back unchanged (empty values survive as "").
QString windowsCommandLine(const QStringList &arguments);

// --- Processes ---

struct ProcessInfo
{
    qint64 pid = 0;
    QString imageName; // executable file name, as the system lists it
    QString imagePath; // full image path in native separators; empty when unreadable
    qint64 owner = -1; // Linux: the real user id; Windows: the session; -1 when unknown
};

QList<ProcessInfo> runningProcesses();

// The owner (as in ProcessInfo) this program works for: on Linux the user who
// asked for elevation (pkexec's PKEXEC_UID, sudo's SUDO_UID) when we run as root
// on someone's behalf, otherwise our own real user; on Windows our session.
qint64 invokingOwner();

// Whether `imagePath` names a file directly inside `folder` (native or "/"
// separators; letter case ignored on Windows only).
bool isImageInFolder(const QString &imagePath, const QString &folder, Os os = hostOs());

// Forcibly stops every process of `owner` named `imageName` whose image lies
// directly in `folder`, never the calling process, and waits briefly for each
// to end. Other users' processes are left alone. Returns how many were stopped.
int stopProcessesInFolder(const QString &imageName, const QString &folder,
                          qint64 owner = invokingOwner());

// --- Windows ---

// A visible top-level window whose title is exactly `title`. Without a
// display there is none.
bool isTopLevelWindowVisible(const QString &title);

// Whether windows of other programs can be looked up at all (on Linux: an X
// server is reachable; not so under Wayland without Xwayland).
bool canLookUpWindows();

// --- Folders ---

// The roaming application-data folder (Windows APPDATA; XDG data home elsewhere).
QString roamingAppDataPath();

// Puts `from` in the place of `to` with one rename, replacing a file there (a
// running program's image included); the old file is never removed first.
bool replaceFile(const QString &from, const QString &to);

// Moves the file `from` over `to` so that `to` holds either the old file or the
// whole new one at every moment: one rename on the same file system; across file
// systems a copy beside `to` that keeps the permissions of `from` and reaches the
// disk before it is renamed over `to`, and then `from` is removed. On failure
// `to` and `from` are as they were (a copy made so far is removed).
Status moveReplacing(const QString &from, const QString &to);

// A second name `to` for the file `from` (a hard link), or where the file system
// has none, a copy with the same permissions.
bool linkOrCopy(const QString &from, const QString &to);

// Makes the open `to` a copy of the open `from` that shares its data on disk (a
// reflink) where the file system can; false elsewhere, `to` left as it was.
bool cloneFile(QFileDevice &from, QFileDevice &to);

// Writes what the system holds of the open `file` through to the disk.
bool flushToDisk(QFileDevice &file);

struct FolderCheck
{
    bool ok = false;
    QString error;
};

// Creates `path` (with missing parents) for the calling user alone, or accepts an
// existing one only when it is a real folder owned by that user, and makes it
// private. Another user could otherwise plant files or links the engine writes
// through. On Windows the per-user folders are private already.
FolderCheck ensurePrivateFolder(const QString &path);

} // namespace platform
