#include "commandline.h"

namespace win32core {

std::wstring quoteArguments(const std::vector<std::wstring> &arguments)
{
    std::wstring text;
    for (const std::wstring &argument : arguments) {
        if (!text.empty())
            text += L' ';
        if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
            text += argument;
            continue;
        }
        // Backslashes are literal except before a quote, where they escape in pairs.
        text += L'"';
        std::size_t backslashes = 0;
        for (const wchar_t c : argument) {
            if (c == L'\\') {
                ++backslashes;
                continue;
            }
            text.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
            text += c;
            backslashes = 0;
        }
        text.append(backslashes * 2, L'\\');
        text += L'"';
    }
    return text;
}

} // namespace win32core
