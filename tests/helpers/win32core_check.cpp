// Exercises the Qt-free Windows core for real: cross-compiled with MinGW and
// run under wine by tests/helpers/win32core_check.sh. Prints one line per
// failed check and exits non-zero when any failed.
#include "commandline.h"
#include "win32core.h"
#include "win32filestat.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <iostream>
#include <string>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const char *what)
{
    if (!ok) {
        std::cout << "FAIL: " << what << std::endl;
        ++failures;
    } else {
        std::cout << "ok: " << what << std::endl;
    }
}

std::wstring lower(std::wstring text)
{
    for (wchar_t &c : text)
        c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

std::wstring selfPath()
{
    wchar_t buffer[MAX_PATH];
    const DWORD size = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return std::wstring(buffer, size);
}

std::wstring folderOf(const std::wstring &path)
{
    return path.substr(0, path.find_last_of(L'\\'));
}

PROCESS_INFORMATION startHanging(const std::wstring &exe)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring commandLine = L"\"" + exe + L"\" child-hang";
    CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                   &startup, &info);
    return info;
}

// Folder names as a player may have them, and what a careless quoting breaks.
const std::vector<std::vector<std::wstring>> quotingCases = {
    {L"--source", L"C:\\Games\\My Game\\", L"--dest", L"", L"--ignore", L""},
    {L"say \"hi\"", L"a\\\\\"b", L"ends in two\\\\"},
    {L"-leading dash", L"tab\there", L"jogo a\u00e7\u00e3o \u6e38\u620f"},
    {L"\"", L"\\", L"\\\"", L" "},
};

bool sameArguments(const wchar_t *commandLine, std::size_t skip,
                   const std::vector<std::wstring> &expected)
{
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(commandLine, &count);
    bool same = arguments && static_cast<std::size_t>(count) == expected.size() + skip;
    for (std::size_t i = 0; same && i < expected.size(); ++i)
        same = expected[i] == arguments[i + skip];
    LocalFree(arguments);
    return same;
}

const win32core::Process *find(const std::vector<win32core::Process> &list, DWORD pid)
{
    for (const auto &process : list) {
        if (process.pid == pid)
            return &process;
    }
    return nullptr;
}

void checkElevatedRuns()
{
    using win32core::ElevatedOutcome;
    const std::wstring self = selfPath();

    auto exited = win32core::runElevated(self, L"child-exit 7", 60000);
    check(exited.outcome == ElevatedOutcome::Finished && exited.exitCode == 7,
          "runElevated gives the exit code");

    auto arguments = win32core::runElevated(self, L"child-args \"\" \"a b\" c\\\\", 60000);
    check(arguments.outcome == ElevatedOutcome::Finished && arguments.exitCode == 0,
          "runElevated passes the parameter text");

    auto hanging = win32core::runElevated(self, L"child-hang", 300);
    check(hanging.outcome == ElevatedOutcome::TimedOut && hanging.exitCode == 1,
          "runElevated terminates at the time limit");

    auto missing = win32core::runElevated(L"C:\\no\\such\\program.exe", L"", 60000);
    check(missing.outcome == ElevatedOutcome::Declined, "runElevated of a missing program fails");
}

void checkQuoting()
{
    for (std::size_t i = 0; i < quotingCases.size(); ++i) {
        const std::wstring quoted = win32core::quoteArguments(quotingCases[i]);
        check(sameArguments((L"program " + quoted).c_str(), 1, quotingCases[i]),
              "CommandLineToArgvW gives the quoted arguments back");
        const auto run = win32core::runElevated(
            selfPath(), L"child-quoting " + std::to_wstring(i) + L" " + quoted, 60000);
        check(run.outcome == win32core::ElevatedOutcome::Finished && run.exitCode == 0,
              "an elevated program receives the arguments unchanged");
    }
}

void checkFileMoves()
{
    const std::wstring folder = folderOf(selfPath()) + L"\\moves";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring from = folder + L"\\new.bin", to = folder + L"\\game.exe";
    auto write = [](const std::wstring &path, const char *text) {
        FILE *file = _wfopen(path.c_str(), L"wb");
        std::fputs(text, file);
        std::fclose(file);
    };
    auto read = [](const std::wstring &path) {
        char text[16] = {};
        if (FILE *file = _wfopen(path.c_str(), L"rb")) {
            std::fread(text, 1, sizeof text - 1, file);
            std::fclose(file);
        }
        return std::string(text);
    };
    for (const bool copying : {false, true}) {
        write(to, "old");
        write(from, "new");
        const unsigned long error =
            copying ? win32core::copyReplacing(from, to) : win32core::moveReplacing(from, to);
        check(error == 0 && read(to) == "new" &&
                  GetFileAttributesW(from.c_str()) == INVALID_FILE_ATTRIBUTES,
              copying ? "copyReplacing replaces the file and removes the source"
                      : "moveReplacing replaces the file");
    }
    write(from, "new");
    check(win32core::copyReplacing(from, folder + L"\\missing\\game.exe") != 0 &&
              read(from) == "new",
          "a copy that cannot be made leaves the source");
    DeleteFileW((folder + L"\\kept.exe").c_str());
    check(win32core::linkOrCopy(to, folder + L"\\kept.exe") &&
              read(folder + L"\\kept.exe") == "new",
          "linkOrCopy gives the file a second name");
}

void checkDetachedStart()
{
    const std::wstring folder = folderOf(selfPath()) + L"\\detached dir";
    CreateDirectoryW(folder.c_str(), nullptr);
    const HANDLE good = CreateEventW(nullptr, TRUE, FALSE, L"win32core_check_cwd_good");
    const HANDLE bad = CreateEventW(nullptr, TRUE, FALSE, L"win32core_check_cwd_bad");
    const std::wstring parameters = L"child-cwd \"" + folder + L"\"";
    check(win32core::startElevatedDetached(selfPath(), parameters, folder),
          "startElevatedDetached starts");
    const HANDLE events[] = {good, bad};
    check(WaitForMultipleObjects(2, events, FALSE, 60000) == WAIT_OBJECT_0,
          "startElevatedDetached runs in the given folder");
    CloseHandle(good);
    CloseHandle(bad);
}

void checkProcesses()
{
    const std::wstring self = selfPath();
    const auto list = win32core::processes();
    const win32core::Process *me = find(list, GetCurrentProcessId());
    check(me && lower(me->exeFile) == L"win32core_check.exe", "process list names this program");
    check(me && lower(me->imagePath) == lower(self), "process list gives the full image path");

    const std::wstring base = folderOf(self);
    const std::wstring target = base + L"\\target";
    const std::wstring other = base + L"\\other";
    CreateDirectoryW(target.c_str(), nullptr);
    CreateDirectoryW(other.c_str(), nullptr);
    CopyFileW(self.c_str(), (target + L"\\launcher.exe").c_str(), FALSE);
    CopyFileW(self.c_str(), (other + L"\\launcher.exe").c_str(), FALSE);
    PROCESS_INFORMATION inTarget = startHanging(target + L"\\launcher.exe");
    PROCESS_INFORMATION elsewhere = startHanging(other + L"\\launcher.exe");
    check(inTarget.hProcess && elsewhere.hProcess, "stand-in launchers start");

    const auto withCopies = win32core::processes();
    const win32core::Process *listed = find(withCopies, inTarget.dwProcessId);
    check(listed && lower(listed->exeFile) == L"launcher.exe" &&
              lower(listed->imagePath) == lower(target + L"\\launcher.exe"),
          "a copy is listed with its own image path");

    check(win32core::terminateProcess(inTarget.dwProcessId, 10000), "terminateProcess succeeds");
    check(WaitForSingleObject(inTarget.hProcess, 0) == WAIT_OBJECT_0,
          "terminateProcess waits for the end");
    DWORD code = 0;
    check(GetExitCodeProcess(elsewhere.hProcess, &code) && code == STILL_ACTIVE,
          "the other copy keeps running");
    check(!win32core::terminateProcess(0xFFFFFFF0u, 1000), "terminateProcess of no process fails");

    TerminateProcess(elsewhere.hProcess, 0);
    for (const PROCESS_INFORMATION &info : {inTarget, elsewhere}) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
}

void checkWindows()
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"win32core_check";
    RegisterClassW(&windowClass);
    const wchar_t *title = L"Ashgrove PTR \u00e9";
    HWND window = CreateWindowW(L"win32core_check", title, WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                nullptr, nullptr, windowClass.hInstance, nullptr);
    check(window != nullptr, "a window is created");
    check(!win32core::isTopLevelWindowVisible(title), "a window not shown yet is not visible");
    ShowWindow(window, SW_SHOWNORMAL);
    check(win32core::isTopLevelWindowVisible(title), "a shown window is found by its title");
    check(!win32core::isTopLevelWindowVisible(L"Ashgrove PTR"), "a prefix of the title is not");
    ShowWindow(window, SW_HIDE);
    check(!win32core::isTopLevelWindowVisible(title), "a hidden window is not visible");
    DestroyWindow(window);
}

void checkEnvironment()
{
    SetEnvironmentVariableW(L"WIN32CORE_CHECK", L"v\u00e4lue");
    check(win32core::environmentVariable(L"WIN32CORE_CHECK") == L"v\u00e4lue",
          "environment variables are read whole");
    check(win32core::environmentVariable(L"WIN32CORE_CHECK_UNSET").empty(),
          "an unset variable is empty");
    check(!win32core::environmentVariable(L"APPDATA").empty(), "APPDATA is set");
}

void checkFileStat()
{
    const std::wstring base = folderOf(selfPath());
    const std::wstring first = base + L"\\stat-a.bin", second = base + L"\\stat-b.bin";
    const auto write = [](const std::wstring &path, DWORD bytes) {
        const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        const std::string data(bytes, 'x');
        DWORD written = 0;
        WriteFile(file, data.data(), bytes, &written, nullptr);
        CloseHandle(file);
    };
    write(first, 5);
    write(second, 5);
    win32core::FileStat a{}, again{}, b{}, none{};
    check(win32core::regularFileStat(first, a) && a.size == 5 && a.lastWrite != 0,
          "regularFileStat gives a file's size and time");
    check(win32core::regularFileStat(first, again) && again.volume == a.volume &&
              again.fileIndex == a.fileIndex,
          "regularFileStat gives one file the same identity");
    check(win32core::regularFileStat(second, b) && b.fileIndex != a.fileIndex,
          "regularFileStat tells two files apart");
    check(!win32core::regularFileStat(base, none), "regularFileStat refuses a folder");
    check(!win32core::regularFileStat(base + L"\\no-such-file", none),
          "regularFileStat refuses a missing file");
    DeleteFileW(first.c_str());
    DeleteFileW(second.c_str());
}

int child(int argc, wchar_t **argv)
{
    const std::wstring mode = argv[1];
    if (mode == L"child-exit")
        return std::wcstol(argv[2], nullptr, 10);
    if (mode == L"child-args")
        return argc == 5 && std::wstring(argv[2]).empty() && std::wstring(argv[3]) == L"a b" &&
                       std::wstring(argv[4]) == L"c\\\\"
                   ? 0
                   : 1;
    if (mode == L"child-cwd") {
        wchar_t buffer[MAX_PATH];
        const DWORD size = GetCurrentDirectoryW(MAX_PATH, buffer);
        const bool same = lower(std::wstring(buffer, size)) == lower(argv[2]);
        if (HANDLE event =
                OpenEventW(EVENT_MODIFY_STATE, FALSE,
                           same ? L"win32core_check_cwd_good" : L"win32core_check_cwd_bad")) {
            SetEvent(event);
            CloseHandle(event);
        }
        return 0;
    }
    if (mode == L"child-quoting")
        return sameArguments(GetCommandLineW(), 3,
                             quotingCases.at(std::wcstoul(argv[2], nullptr, 10)))
                   ? 0
                   : 1;
    if (mode == L"child-hang") {
        Sleep(INFINITE);
        return 0;
    }
    return 2;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc > 1 && std::wstring(argv[1]).rfind(L"child-", 0) == 0)
        return child(argc, argv);
    const bool withWindows = !(argc > 1 && std::wstring(argv[1]) == L"--no-windows");
    checkElevatedRuns();
    checkQuoting();
    checkFileMoves();
    checkDetachedStart();
    checkProcesses();
    if (withWindows)
        checkWindows();
    checkEnvironment();
    checkFileStat();
    std::cout << (failures ? "FAILED" : "PASSED") << std::endl;
    return failures ? 1 : 0;
}
