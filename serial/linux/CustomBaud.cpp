// The kernel's termios2 lives in <asm/termbits.h>, which clashes with the C library's
// <termios.h>, so this code sits alone.
#include "serial/linux/CustomBaud.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace customBaud {

int Set(int fd, int bitsPerSecond)
{
    termios2 attributes{};
    if (::ioctl(fd, TCGETS2, &attributes) < 0)
        return -errno;
    attributes.c_cflag &= ~CBAUD;
    attributes.c_cflag |= BOTHER;
    attributes.c_cflag &= ~(CBAUD << IBSHIFT);
    attributes.c_cflag |= BOTHER << IBSHIFT;
    attributes.c_ispeed = static_cast<speed_t>(bitsPerSecond);
    attributes.c_ospeed = static_cast<speed_t>(bitsPerSecond);
    if (::ioctl(fd, TCSETS2, &attributes) < 0)
        return -errno;
    return 0;
}

int Get(int fd)
{
    termios2 attributes{};
    if (::ioctl(fd, TCGETS2, &attributes) < 0)
        return -errno;
    return static_cast<int>(attributes.c_ospeed);
}

} // namespace customBaud
