#include "app/PortCure.h"

#include <cerrno>

QString PortCure(int error)
{
    // Without the dialout group every serial device refuses the user: the one cure goes with
    // the refusal.
    if (error != EACCES)
        return {};
    return QStringLiteral("\nYour user may not use serial ports. Run\n"
                          "sudo usermod -aG dialout $USER\n"
                          "then log out and in again.");
}
