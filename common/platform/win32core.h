#pragma once

// The Windows services of the platform layer in plain Win32 and std::wstring,
// free of Qt so that they can be cross-compiled and exercised on their own.
#include <string>
#include <vector>

namespace win32core {

enum class ElevatedOutcome
{
    Finished,
    Declined,
    NoProcess,
    TimedOut,
    WaitFailed
};

struct ElevatedResult
{
    ElevatedOutcome outcome = ElevatedOutcome::Declined;
    unsigned long exitCode = 0;
};

constexpr unsigned long waitForever = 0xFFFFFFFF;

// "runas" with a hidden window, waiting up to `timeoutMs`; a program still
// running then is terminated with exit code 1.
ElevatedResult runElevated(const std::wstring &file, const std::wstring &parameters,
                           unsigned long timeoutMs);

// "runas" with a normal window, without waiting.
bool startElevatedDetached(const std::wstring &file, const std::wstring &parameters,
                           const std::wstring &directory);

struct Process
{
    unsigned long pid = 0;
    std::wstring exeFile;
    std::wstring imagePath; // empty when the process could not be queried
    long long sessionId = -1; // -1 when the process could not be queried
};

std::vector<Process> processes();

// The session the calling process runs in.
long long currentSession();

// Terminates the process and waits up to `waitMs` for it to end.
bool terminateProcess(unsigned long pid, unsigned long waitMs);

bool isTopLevelWindowVisible(const std::wstring &title);

// MoveFileExW with MOVEFILE_REPLACE_EXISTING; a running image cannot be
// replaced, so it is first renamed to `aside`.
bool replaceFile(const std::wstring &from, const std::wstring &to, const std::wstring &aside);

// Moves `from` over `to`: one MoveFileExW on the same volume; across volumes a
// copy beside `to` that is flushed to the disk before it replaces `to`, then
// `from` is deleted. Returns 0 or the Win32 error; on failure `to` is unchanged.
unsigned long moveReplacing(const std::wstring &from, const std::wstring &to);
unsigned long copyReplacing(const std::wstring &from, const std::wstring &to);

// A hard link `to` for `from`, or a copy where the volume has none.
bool linkOrCopy(const std::wstring &from, const std::wstring &to);

// FlushFileBuffers for a C run-time file descriptor.
bool flushDescriptor(int descriptor);

// Empty when the variable is not set.
std::wstring environmentVariable(const std::wstring &name);

} // namespace win32core
