#include "LineSink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace {

[[noreturn]] void Fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

LineSink::LineSink()
{
    udp_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!udp_.valid())
        Fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(udp_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(udp_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        Fail("bind");
    udpPort_ = ntohs(address.sin_port);

    stop_.reset(::eventfd(0, EFD_CLOEXEC));
    if (!stop_.valid())
        Fail("eventfd");
    reader_ = std::thread(&LineSink::Run, this);
}

LineSink::~LineSink()
{
    const std::uint64_t one = 1;
    (void)!::write(stop_.get(), &one, sizeof one);
    reader_.join();
}

void LineSink::Run()
{
    pollfd watched[] = {{line_.Master(), POLLIN, 0}, {udp_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
    for (;;) {
        if (::poll(watched, std::size(watched), -1) < 0 && errno != EINTR)
            return;
        if (watched[2].revents)
            return;
        if (watched[0].revents & POLLIN)
            ReadSerial();
        if (watched[1].revents & POLLIN)
            ReadDatagram();
    }
}

void LineSink::ReadSerial()
{
    char buffer[4096];
    const ssize_t size = ::read(line_.Master(), buffer, sizeof buffer);
    if (size > 0)
        serialLines_ += std::count(buffer, buffer + size, '\r');
}

void LineSink::ReadDatagram()
{
    char buffer[2048];
    const ssize_t size = ::recv(udp_.get(), buffer, sizeof buffer, 0);
    if (size < 0)
        return;
    ++datagrams_;
    const bool displayLine = (size == 23 || size == 24) && buffer[size - 1] == '\r' &&
                             std::count(buffer, buffer + size, '\r') == 1;
    if (!displayLine)
        ++oddDatagrams_;
}
