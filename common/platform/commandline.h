#pragma once

// Qt-free, so that the Windows check built with MinGW exercises the same rules.
#include <string>
#include <vector>

namespace win32core {

// The command-line text that CommandLineToArgvW (and so Qt's arguments on
// Windows) splits back into exactly `arguments`: empty values survive as "",
// quotes and the backslashes before them are escaped.
std::wstring quoteArguments(const std::vector<std::wstring> &arguments);

} // namespace win32core
