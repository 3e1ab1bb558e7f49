#pragma once
// The event thread of an open port: waits in poll on the device and on a wake-up descriptor,
// notices received bytes, an emptied transmitter, modem-line changes, line errors and a vanished
// device, and hands each finding to the user-interface thread.
//
// The port and its thread share only a ComThreadLink. Closing or destroying the port sets the
// terminate request and wakes the thread; nobody waits for it, and since the thread reaches the
// port only through calls that run on the user-interface thread and look at link->port there,
// it never touches a port that is gone.

#include "serial/ComTypes.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

class ComDevice;
class TCustomComPort;

struct ComThreadLink {
    // wakeFd: an eventfd the link owns from here on, or negative when none could be made.
    ComThreadLink(std::shared_ptr<ComDevice> device, TCustomComPort* port, std::uint32_t mask,
                  TThreadPriority priority, bool synchronize, int wakeFd);
    ~ComThreadLink();
    ComThreadLink(const ComThreadLink&) = delete;
    ComThreadLink& operator=(const ComThreadLink&) = delete;

    // Wakes the thread to look at terminate, mask, priority and writesHandedOver again.
    void Wake();

    const std::shared_ptr<ComDevice> device;
    // Read and written on the user-interface thread only; null once the port has let go.
    TCustomComPort* port;
    std::atomic<bool> terminate{false};
    std::atomic<std::uint32_t> mask;
    std::atomic<TThreadPriority> priority;
    // Counts writes whose bytes have all been handed to the kernel (or given up on).
    std::atomic<std::uint64_t> writesHandedOver{0};
    // Counts bytes the port has read, so that bytes arriving after a read count as new even
    // when the queue is as long as before.
    std::atomic<std::uint64_t> bytesRead{0};
    const bool synchronize;
    const int wakeFd;
};

class ComThread {
public:
    // Starts a detached thread for the link; false when no thread could be made.
    static bool Start(const std::shared_ptr<ComThreadLink>& link);

private:
    explicit ComThread(std::shared_ptr<ComThreadLink> link) : link_(std::move(link)) {}
    // Where the watched lines stand now; changes are measured from here. Returns 0 or -errno.
    int TakeStartingPoint(std::uint32_t newlyWatched);
    void Run();
    // One wait and what it found; false when the thread must end.
    bool Pass();
    int Sample(std::uint32_t mask, bool txDue, std::uint64_t handedOver, std::uint32_t& found);
    // Bytes the port has read since the last look were among those already reported.
    void ForgetRead(std::uint64_t read);
    void Dispatch(std::uint32_t events);
    // Reports a failed wait on the user-interface thread; always false (the thread ends).
    bool Fail(int error);
    void ApplyPriority(TThreadPriority priority);

    std::shared_ptr<ComThreadLink> link_;
    TThreadPriority priority_ = tpNormal;
    std::uint32_t watched_ = 0;
    bool modemLines_ = true;
    bool lineCounters_ = true;
    bool transmitterStatus_ = true;
    int modem_ = 0;
    std::array<int, 5> counts_{}; // break, frame, overrun, parity, buffer overrun
    int rxSeen_ = 0;
    std::uint64_t readSeen_ = 0;
    bool rxSampling_ = false;
    bool rxPending_ = false;
    std::uint64_t txReported_ = 0;
};
