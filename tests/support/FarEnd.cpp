#include "FarEnd.h"

#include "os/linux/TermiosRecord.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

namespace {

// Whether `fd` is ready for `events` within `milliseconds`, at most a few: the caller runs the
// event loop between looks.
bool Ready(int fd, short events, qint64 milliseconds)
{
    pollfd entry{fd, events, 0};
    return ::poll(&entry, 1, static_cast<int>(std::clamp<qint64>(milliseconds, 0, 5))) > 0 &&
           (entry.revents & events);
}

termios SettingsOf(int fd)
{
    termios settings{};
    ::tcgetattr(fd, &settings);
    return settings;
}

} // namespace

FarEnd::FarEnd() : pty_(std::in_place, PseudoTerminal::MasterMode::NonBlocking) {}

FarEnd::FarEnd(const std::string& path, speed_t speed)
    : line_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
{
    if (!line_.valid())
        throw std::system_error(errno, std::generic_category(), path);
    termios settings = SettingsOf(line_.get());
    ::cfmakeraw(&settings);
    ::cfsetspeed(&settings, speed);
    ::tcsetattr(line_.get(), TCSANOW, &settings);
}

std::string FarEnd::Read(std::size_t count, std::chrono::milliseconds limit)
{
    std::string bytes;
    const QDeadlineTimer deadline(limit);
    while (bytes.size() < count && Fd() >= 0) {
        if (Ready(Fd(), POLLIN, 0)) {
            char buffer[4096];
            const ssize_t size = ::read(Fd(), buffer, std::min(sizeof buffer, count - bytes.size()));
            if (size <= 0)
                break;
            bytes.append(buffer, static_cast<std::size_t>(size));
            continue;
        }
        if (deadline.hasExpired())
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        Ready(Fd(), POLLIN, deadline.remainingTime());
    }
    return bytes;
}

std::string FarEnd::ReadAvailable(std::chrono::milliseconds quiet)
{
    std::string bytes;
    for (std::string more; !(more = Read(4096, quiet)).empty();)
        bytes += more;
    return bytes;
}

std::string FarEnd::Take() { return Read(SIZE_MAX, std::chrono::milliseconds(0)); }

bool FarEnd::Write(std::string_view bytes, std::chrono::milliseconds limit,
                   const std::function<void()>& meanwhile)
{
    const QDeadlineTimer deadline(limit);
    while (!bytes.empty()) {
        const ssize_t written = ::write(Fd(), bytes.data(), bytes.size());
        if (written > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno != EAGAIN)
            return false;
        if (deadline.hasExpired()) {
            errno = ETIMEDOUT;
            return false;
        }
        if (meanwhile)
            meanwhile();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        Ready(Fd(), POLLOUT, deadline.remainingTime());
    }
    return true;
}

void FarEnd::StopReading()
{
    // drivers/tty/pty.c: the slave's writes land in the master's buffers, and once those are
    // full (a master nobody reads) they wait. The kernel moves bytes between its buffers in the
    // background and makes room again for a while: the filling goes on until no room appears.
    const int slave = Slave();
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

unsigned FarEnd::CharacterSize() const
{
    return static_cast<unsigned>(DataBitsOf(SettingsOf(Slave())));
}

bool FarEnd::TwoStopBits() const { return StopBitsOf(SettingsOf(Slave())) == 2; }

void FarEnd::Close()
{
    if (pty_)
        pty_->CloseMaster();
    line_.reset();
}
