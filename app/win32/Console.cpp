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
