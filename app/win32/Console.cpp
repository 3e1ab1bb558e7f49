#include "app/Console.h"

#include <windows.h>

#include <cstdio>

namespace {

bool Usable(DWORD stream)
{
    const HANDLE handle = ::GetStdHandle(stream);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
           ::GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

} // namespace

void UseStartingConsole()
{
    // A program of the window subsystem gets the handles its starter passed (a pipe, a file)
    // but no console; one started from a console window may join that console.
    const bool output = Usable(STD_OUTPUT_HANDLE);
    const bool errors = Usable(STD_ERROR_HANDLE);
    if ((output && errors) || !::AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    if (!output)
        std::freopen("CONOUT$", "w", stdout);
    if (!errors)
        std::freopen("CONOUT$", "w", stderr);
}

void Print(std::FILE* stream, const QString& text)
{
    // What C library buffered before goes first; then, out as it happens: Windows' C library
    // holds standard error that goes to a file until exit.
    std::fflush(stream);
    const HANDLE handle = ::GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (::GetConsoleMode(handle, &mode)) {
        // A console shows its own code page, not the system's 8-bit one: wide characters keep
        // "Gerät" intact in either.
        const std::wstring wide = text.toStdWString();
        DWORD written = 0;
        ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}
