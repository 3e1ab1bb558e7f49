#include "app/PassingRefusal.h"

#include <cerrno>

bool PassingRefusal(int error)
{
    // udev hands a new node to its group a moment after it appears, and ModemManager holds a
    // new ttyACM for a few seconds while it probes for a modem.
    return error == EACCES || error == EBUSY;
}
