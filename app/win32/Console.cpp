#include "app/Console.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <string>

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
    // A pipe or a file: cmd and PowerShell read it in their console's code page (850 on a
    // German system, where the ANSI one is 1252); without a console, the ANSI one.
    UINT codePage = ::GetConsoleOutputCP();
    if (codePage == 0)
        codePage = CP_ACP;
    const std::wstring wide = text.toStdWString();
    const int size = static_cast<int>(wide.size());
    std::string bytes(
        ::WideCharToMultiByte(codePage, 0, wide.data(), size, nullptr, 0, nullptr, nullptr), '\0');
    ::WideCharToMultiByte(codePage, 0, wide.data(), size, bytes.data(),
                          static_cast<int>(bytes.size()), nullptr, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}

QStringList ProgramArguments(int, char*[])
{
    // The C library's argv is in the ANSI code page: a name it cannot spell arrives as "?".
    QStringList arguments;
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!wide)
        return arguments;
    for (int i = 0; i < count; ++i)
        arguments << QString::fromWCharArray(wide[i]);
    ::LocalFree(wide);
    return arguments;
}
