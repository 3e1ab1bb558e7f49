#pragma once
// The host's end of one of the guest's serial lines: one end of a socket pair whose other end
// QEMU backs the guest's UART or USB adapter with. QEMU's end holds only a few bytes, so that
// what the guest sends and the far end has not taken stays in the guest's driver, as on a real
// line. A thread of its own reads at a chosen pace, as a far end that takes bytes only so fast
// (or not at all) would, and keeps every byte with the moment it arrived.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "os/linux/UniqueFd.h"

// Connects to a unix socket, waiting (bounded) for it to appear; throws when it does not.
UniqueFd ConnectUnix(const std::string& path, std::chrono::milliseconds limit);

// A line a far end took, carriage return excluded, with the moment its carriage return came.
struct TakenLine {
    std::string text;
    std::chrono::system_clock::time_point end;
};
// The lines ended by a carriage return among bytes taken at the moments `arrivals`.
std::vector<TakenLine> TakenLines(const std::string& bytes,
                                  const std::vector<std::chrono::system_clock::time_point>& arrivals);

class LineEnd {
public:
    using Clock = std::chrono::system_clock;
    using Line = TakenLine;

    LineEnd();
    ~LineEnd();
    LineEnd(const LineEnd&) = delete;
    LineEnd& operator=(const LineEnd&) = delete;

    // Bytes per second the far end takes; 0 takes nothing, kAsFast everything at once.
    static constexpr double kAsFast = -1;
    void SetPace(double bytesPerSecond);
    // A far end that sends back every byte it takes, as a jumper between TX and RX does.
    void SetEcho(bool echo);
    void Send(const std::string& bytes);

    // Everything received so far, and the lines ended by a carriage return among it.
    std::string Received() const;
    std::size_t ReceivedCount() const;
    std::vector<Line> Lines() const;
    void Clear();
    // Bytes QEMU has written into the socket that the far end has not taken yet.
    std::size_t Waiting() const;
    // Waits (bounded) until at least `count` bytes were received.
    bool WaitForBytes(std::size_t count, std::chrono::milliseconds limit) const;

    // QEMU's end, until it has it.
    int QemuEnd() const { return qemuEnd_.get(); }
    void QemuHasIt() { qemuEnd_.reset(); }

private:
    void Read();

    UniqueFd socket_;
    UniqueFd qemuEnd_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    double pace_ = kAsFast;
    bool echo_ = false;
    bool stopping_ = false;
    std::string received_;
    std::vector<Clock::time_point> arrivals_;
    std::thread reader_;
};
