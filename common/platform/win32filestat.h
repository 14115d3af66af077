#pragma once

// File identity on Windows in plain Win32, free of Qt like win32core.
#include <string>

namespace win32core {

struct FileStat
{
    unsigned long long size = 0;
    unsigned long long lastWrite = 0; // FILETIME, 100 ns ticks
    unsigned long volume = 0;         // volume serial number
    unsigned long long fileIndex = 0;
};

// A regular file at `path` itself (a reparse point is not followed); false for
// anything else.
bool regularFileStat(const std::wstring &path, FileStat &stat);

} // namespace win32core
