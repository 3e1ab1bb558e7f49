#include "os/DeviceGone.h"

#include <windows.h>

bool DeviceGone(int error)
{
    // USB serial drivers answer calls on a handle whose device was removed in these ways; the
    // event wait of an unplugged port ends with ERROR_ACCESS_DENIED.
    switch (static_cast<DWORD>(error)) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
        return true;
    default:
        return false;
    }
}
