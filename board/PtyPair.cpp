#include "PtyPair.h"

#include "SystemError.h"

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>

namespace board {

PtyPair::PtyPair()
{
    int master = -1;
    int slave = -1;
    termios raw{};
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    cfsetspeed(&raw, B9600);
    char name[256] = {};
    if (::openpty(&master, &slave, name, &raw, nullptr) != 0)
        throw SystemError("openpty", errno);
    master_ = UniqueFd(master);
    slave_ = UniqueFd(slave);
    slavePath_ = name;
    for (int fd : {master, slave})
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
}

} // namespace board
