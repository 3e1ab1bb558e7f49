#include "FaultSupport.h"

#include "support/ProcessCounts.h"
#include "support/Waiting.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

void WaitForLoneThread()
{
    WaitUntil([] { return Threads() == 1; }, std::chrono::seconds(5));
}

std::string TakeWaiting(int master)
{
    std::string bytes;
    pollfd ready{master, POLLIN, 0};
    while (master >= 0 && ::poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN)) {
        char buffer[4096];
        const ssize_t count = ::read(master, buffer, sizeof buffer);
        if (count <= 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
    return bytes;
}

void FillQueue(int slave)
{
    const int flags = ::fcntl(slave, F_GETFL);
    ::fcntl(slave, F_SETFL, flags | O_NONBLOCK);
    const std::string block(4096, 'x');
    while (::write(slave, block.data(), block.size()) > 0) {
    }
    while (::write(slave, block.data(), 1) > 0) {
    }
    ::fcntl(slave, F_SETFL, flags);
}
