#pragma once
// The far ends of a soak run: the master side of a pseudo-terminal and a datagram socket on
// 127.0.0.1, read by a thread of their own so that the window's thread never waits for them.
// Counts whole lines (ended by a carriage return) on the line and datagrams on the socket.

#include "os/linux/PseudoTerminal.h"
#include "os/linux/UniqueFd.h"

#include <atomic>
#include <string>
#include <thread>

class LineSink {
public:
    // Throws std::system_error when the pseudo-terminal or the socket cannot be had.
    LineSink();
    ~LineSink();
    LineSink(const LineSink&) = delete;
    LineSink& operator=(const LineSink&) = delete;

    const std::string& SlavePath() const { return line_.SlavePath(); }
    int UdpPort() const { return udpPort_; }
    long SerialLines() const { return serialLines_; }
    long Datagrams() const { return datagrams_; }
    // Datagrams that were not one display line ending in a carriage return.
    long OddDatagrams() const { return oddDatagrams_; }

private:
    void Run();
    void ReadSerial();
    void ReadDatagram();

    PseudoTerminal line_;
    UniqueFd udp_;
    UniqueFd stop_;
    int udpPort_ = 0;
    std::atomic<long> serialLines_{0};
    std::atomic<long> datagrams_{0};
    std::atomic<long> oddDatagrams_{0};
    std::thread reader_;
};
