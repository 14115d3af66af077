#include "platform/platform.h"
#include "platform/platform_internal.h"
#include "platform/win32core.h"

#include <QDir>

namespace platform {

namespace {

std::wstring wide(const QString &text)
{
    return text.toStdWString();
}

QString fromWide(const std::wstring &text)
{
    return QString::fromStdWString(text);
}

constexpr unsigned long terminateWaitMs = 5000;

} // namespace

Os hostOs()
{
    return Os::Windows;
}

void applyBuildVersion()
{
    // The version resource (launcher.rc) supplies the version; Qt reads it.
}

ElevatedRun runElevated(const QString &program, const QStringList &arguments, int timeoutMs)
{
    const auto result = win32core::runElevated(
        wide(QDir::toNativeSeparators(program)), wide(windowsCommandLine(arguments)),
        timeoutMs < 0 ? win32core::waitForever : static_cast<unsigned long>(timeoutMs));
    using In = win32core::ElevatedOutcome;
    using Out = ElevatedRun::Outcome;
    switch (result.outcome) {
    case In::Finished:
        return {Out::Finished, static_cast<int>(result.exitCode)};
    case In::Declined:
        return {Out::Declined, -1};
    case In::NoProcess:
        return {Out::NoProcess, -1};
    case In::TimedOut:
        return {Out::TimedOut, 1};
    case In::WaitFailed:
        break;
    }
    return {Out::WaitFailed, -1};
}

bool startElevatedDetached(const QString &program, const QStringList &arguments,
                           const QString &workingDirectory)
{
    return win32core::startElevatedDetached(wide(QDir::toNativeSeparators(program)),
                                            wide(windowsCommandLine(arguments)),
                                            wide(QDir::toNativeSeparators(workingDirectory)));
}

QList<ProcessInfo> runningProcesses()
{
    QList<ProcessInfo> list;
    for (const win32core::Process &process : win32core::processes())
        list << ProcessInfo{qint64(process.pid), fromWide(process.exeFile),
                            fromWide(process.imagePath), process.sessionId};
    return list;
}

qint64 invokingOwner()
{
    // Elevation keeps the session: the launchers there are the player's.
    return win32core::currentSession();
}

bool terminateProcess(qint64 pid)
{
    return win32core::terminateProcess(static_cast<unsigned long>(pid), terminateWaitMs);
}

bool isTopLevelWindowVisible(const QString &title)
{
    return !title.isEmpty() && win32core::isTopLevelWindowVisible(wide(title));
}

bool canLookUpWindows()
{
    return true;
}

QString roamingAppDataPath()
{
    return QDir::cleanPath(fromWide(win32core::environmentVariable(L"APPDATA")));
}

bool replaceFile(const QString &from, const QString &to)
{
    return win32core::replaceFile(wide(QDir::toNativeSeparators(from)),
                                  wide(QDir::toNativeSeparators(to)),
                                  wide(QDir::toNativeSeparators(to + QStringLiteral(".old"))));
}

Status moveReplacing(const QString &from, const QString &to)
{
    const unsigned long error = win32core::moveReplacing(wide(QDir::toNativeSeparators(from)),
                                                         wide(QDir::toNativeSeparators(to)));
    if (error == 0)
        return {};
    // ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL
    const bool full = error == 112 || error == 39;
    return Status::fail(full ? Failure::Kind::NoSpace : Failure::Kind::FileSystem,
                        QStringLiteral("Cannot move %1 to %2 (error %3)")
                            .arg(QDir::toNativeSeparators(from), QDir::toNativeSeparators(to))
                            .arg(error));
}

bool linkOrCopy(const QString &from, const QString &to)
{
    return win32core::linkOrCopy(wide(QDir::toNativeSeparators(from)),
                                 wide(QDir::toNativeSeparators(to)));
}

bool cloneFile(QFileDevice &, QFileDevice &)
{
    return false;
}

bool flushToDisk(QFileDevice &file)
{
    return file.flush() && file.handle() >= 0 && win32core::flushDescriptor(file.handle());
}

FolderCheck ensurePrivateFolder(const QString &path)
{
    FolderCheck check;
    check.ok = QDir().mkpath(path);
    if (!check.ok)
        check.error = QStringLiteral("cannot create %1").arg(QDir::toNativeSeparators(path));
    return check;
}

} // namespace platform
