#include "os/SystemText.h"

#include "os/win32/WideText.h"

#include <windows.h>

#include <iterator>

std::string SystemText(int error)
{
    // In wide characters: the ANSI texts come in the system's code page, which a German Windows
    // does not spell in UTF-8 ("Das Gerät").
    wchar_t buffer[512];
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                          nullptr, static_cast<DWORD>(error), 0, buffer,
                                          std::size(buffer), nullptr);
    // The same words the C library uses for a number it does not know.
    if (length == 0)
        return "Unknown error " + std::to_string(error);
    return TrimmedSystemText(Utf8(std::wstring_view(buffer, length)));
}
