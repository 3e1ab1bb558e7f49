#include "os/SystemText.h"

#include <windows.h>

std::string SystemText(int error)
{
    char buffer[512];
    const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                          nullptr, static_cast<DWORD>(error), 0, buffer,
                                          sizeof buffer, nullptr);
    // The same words the C library uses for a number it does not know.
    if (length == 0)
        return "Unknown error " + std::to_string(error);
    return TrimmedSystemText(std::string(buffer, length));
}
