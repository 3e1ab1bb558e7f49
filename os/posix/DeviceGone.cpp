#include "os/DeviceGone.h"

#include <cerrno>

bool DeviceGone(int error)
{
    // A tty whose hardware went away (hang-up of an unplugged adapter) fails every call so.
    return error == EIO;
}
