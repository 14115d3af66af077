#include "win32core.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <io.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <string>

namespace win32core {

ElevatedResult runElevated(const std::wstring &file, const std::wstring &parameters,
                           unsigned long timeoutMs)
{
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    // The caller reports failures itself; no second error dialog from the shell.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"runas";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info))
        return {ElevatedOutcome::Declined, 0};
    if (!info.hProcess)
        return {ElevatedOutcome::NoProcess, 0};

    ElevatedResult result{ElevatedOutcome::WaitFailed, 0};
    const DWORD wait = WaitForSingleObject(info.hProcess, timeoutMs);
    if (wait == WAIT_TIMEOUT) {
        TerminateProcess(info.hProcess, 1);
        result = {ElevatedOutcome::TimedOut, 1};
    } else if (wait == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (GetExitCodeProcess(info.hProcess, &code))
            result = {ElevatedOutcome::Finished, code};
    }
    CloseHandle(info.hProcess);
    return result;
}

bool startElevatedDetached(const std::wstring &file, const std::wstring &parameters,
                           const std::wstring &directory)
{
    const HINSTANCE started =
        ShellExecuteW(nullptr, L"runas", file.c_str(), parameters.c_str(),
                      directory.empty() ? nullptr : directory.c_str(), SW_SHOWNORMAL);
    // Values above 32 mean success.
    return reinterpret_cast<INT_PTR>(started) > 32;
}

std::vector<Process> processes()
{
    std::vector<Process> list;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return list;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        Process process;
        process.pid = entry.th32ProcessID;
        process.exeFile = entry.szExeFile;
        DWORD session = 0;
        if (ProcessIdToSessionId(entry.th32ProcessID, &session))
            process.sessionId = session;
        if (HANDLE handle =
                OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID)) {
            // Long paths exceed MAX_PATH; the query reports the size it needs.
            std::vector<wchar_t> buffer(MAX_PATH);
            for (;;) {
                DWORD size = static_cast<DWORD>(buffer.size());
                if (QueryFullProcessImageNameW(handle, 0, buffer.data(), &size)) {
                    process.imagePath.assign(buffer.data(), size);
                    break;
                }
                if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() >= 32768)
                    break;
                buffer.resize(buffer.size() * 4);
            }
            CloseHandle(handle);
        }
        list.push_back(process);
    }
    CloseHandle(snapshot);
    return list;
}

long long currentSession()
{
    DWORD session = 0;
    return ProcessIdToSessionId(GetCurrentProcessId(), &session) ? session : -1;
}

bool terminateProcess(unsigned long pid, unsigned long waitMs)
{
    const HANDLE handle = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (!handle)
        return false;
    const bool terminated = TerminateProcess(handle, 1) != 0;
    if (terminated)
        WaitForSingleObject(handle, waitMs);
    CloseHandle(handle);
    return terminated;
}

bool isTopLevelWindowVisible(const std::wstring &title)
{
    const HWND window = FindWindowW(nullptr, title.c_str());
    return window && IsWindowVisible(window);
}

std::wstring environmentVariable(const std::wstring &name)
{
    const DWORD size = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (size == 0)
        return {};
    std::wstring value(size, L'\0');
    const DWORD written = GetEnvironmentVariableW(name.c_str(), value.data(), size);
    value.resize(written);
    return value;
}

bool replaceFile(const std::wstring &from, const std::wstring &to, const std::wstring &aside)
{
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    DeleteFileW(aside.c_str());
    if (!MoveFileExW(to.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING))
        return false;
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    MoveFileExW(aside.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING);
    return false;
}

} // namespace win32core

namespace win32core {

unsigned long moveReplacing(const std::wstring &from, const std::wstring &to)
{
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    const DWORD error = GetLastError();
    return error == ERROR_NOT_SAME_DEVICE ? copyReplacing(from, to) : error;
}

unsigned long copyReplacing(const std::wstring &from, const std::wstring &to)
{
    const std::size_t slash = to.find_last_of(L"\\/");
    const std::wstring folder =
        slash == std::wstring::npos ? std::wstring() : to.substr(0, slash + 1);
    const std::wstring name = slash == std::wstring::npos ? to : to.substr(slash + 1);
    const std::wstring temporary =
        folder + L"." + name + L"." + std::to_wstring(GetCurrentProcessId()) + L".part";
    if (!CopyFileW(from.c_str(), temporary.c_str(), FALSE))
        return GetLastError();
    DWORD error = 0;
    const HANDLE copy = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (copy == INVALID_HANDLE_VALUE) {
        error = GetLastError();
    } else {
        if (!FlushFileBuffers(copy))
            error = GetLastError();
        CloseHandle(copy);
    }
    if (!error && !MoveFileExW(temporary.c_str(), to.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = GetLastError();
    if (error) {
        DeleteFileW(temporary.c_str());
        return error;
    }
    return DeleteFileW(from.c_str()) ? 0 : GetLastError();
}

bool linkOrCopy(const std::wstring &from, const std::wstring &to)
{
    return CreateHardLinkW(to.c_str(), from.c_str(), nullptr) ||
           CopyFileW(from.c_str(), to.c_str(), TRUE);
}

bool flushDescriptor(int descriptor)
{
    const intptr_t handle = _get_osfhandle(descriptor);
    return handle != -1 && FlushFileBuffers(reinterpret_cast<HANDLE>(handle));
}

} // namespace win32core
