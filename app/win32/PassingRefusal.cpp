#include "app/PassingRefusal.h"

#include <windows.h>

bool PassingRefusal(int error)
{
    // A port whose driver is still starting, or that another program holds for a moment.
    return error == ERROR_ACCESS_DENIED || error == ERROR_BUSY || error == ERROR_SHARING_VIOLATION;
}
