#include "VirtualComPort.h"

#include "os/linux/BoardLink.h"
#include "os/linux/TermiosRecord.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

namespace {

bool Readable(int fd, qint64 milliseconds)
{
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(std::clamp<qint64>(milliseconds, 0, 5))) > 0 &&
           (entry.revents & POLLIN);
}

termios SettingsOf(int fd)
{
    termios settings{};
    ::tcgetattr(fd, &settings);
    return settings;
}

} // namespace

VirtualComPort::VirtualComPort(const PortsDirectory& directory, int number, Link link)
    : number_(number)
{
    if (link == Link::Board) {
        board_ = BoardLink::LockMarker(directory.Path() + "/COM" + std::to_string(number));
        BoardLink::WriteTarget(board_.get(), line_.SlavePath());
    }
    directory.Link(number, line_.SlavePath());
}

std::string VirtualComPort::Read(std::size_t count, std::chrono::milliseconds limit)
{
    std::string bytes;
    const QDeadlineTimer deadline(limit);
    while (bytes.size() < count && line_.Master() >= 0) {
        if (Readable(line_.Master(), 0)) {
            char buffer[4096];
            const ssize_t size = ::read(line_.Master(), buffer, std::min(sizeof buffer, count - bytes.size()));
            if (size <= 0)
                break;
            bytes.append(buffer, static_cast<std::size_t>(size));
            continue;
        }
        if (deadline.hasExpired())
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        Readable(line_.Master(), deadline.remainingTime());
    }
    return bytes;
}

std::string VirtualComPort::ReadAvailable(std::chrono::milliseconds quiet)
{
    std::string bytes;
    for (;;) {
        std::string more = Read(4096, quiet);
        if (more.empty())
            return bytes;
        bytes += more;
    }
}

std::string VirtualComPort::Take()
{
    std::string bytes;
    char buffer[4096];
    while (line_.Master() >= 0 && Readable(line_.Master(), 0)) {
        const ssize_t size = ::read(line_.Master(), buffer, sizeof buffer);
        if (size <= 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(size));
    }
    return bytes;
}

void VirtualComPort::StopReading()
{
    // drivers/tty/pty.c: the slave's writes land in the master's buffers, and once those are
    // full (a master nobody reads) they wait. The kernel moves bytes between its buffers in the
    // background and makes room again for a while: the filling goes on until no room appears.
    const int slave = line_.Slave();
    const int flags = ::fcntl(slave, F_GETFL);
    ::fcntl(slave, F_SETFL, flags | O_NONBLOCK);
    const std::string block(4096, 'x');
    pollfd room{slave, POLLOUT, 0};
    do {
        while (::write(slave, block.data(), block.size()) > 0) {
        }
        while (::write(slave, block.data(), 1) > 0) {
        }
    } while (::poll(&room, 1, 200) > 0 && (room.revents & POLLOUT));
    ::fcntl(slave, F_SETFL, flags);
}

unsigned VirtualComPort::CharacterSize() const
{
    return static_cast<unsigned>(DataBitsOf(SettingsOf(line_.Slave())));
}

bool VirtualComPort::TwoStopBits() const
{
    return StopBitsOf(SettingsOf(line_.Slave())) == 2;
}
