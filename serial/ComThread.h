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

#include <atomic>
#include <cstdint>
#include <memory>

class ComDevice;
class TCustomComPort;

struct ComThreadLink {
    ComThreadLink(std::shared_ptr<ComDevice> device, TCustomComPort* port, std::uint32_t mask,
                  TThreadPriority priority, bool synchronize);
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
    const bool synchronize;
    const int wakeFd;
};

class ComThread {
public:
    // Starts a detached thread for the link; false when no thread could be made.
    static bool Start(const std::shared_ptr<ComThreadLink>& link);

private:
    explicit ComThread(std::shared_ptr<ComThreadLink> link) : link_(std::move(link)) {}
    void Run();
    void Dispatch(std::uint32_t events);
    void Fail(int error);
    void ApplyPriority(TThreadPriority priority);

    std::shared_ptr<ComThreadLink> link_;
};
