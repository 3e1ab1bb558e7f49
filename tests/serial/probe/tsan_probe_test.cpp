// Planted races, built only with -DMARQ_TSAN_PROBE=ON, one program run per case (the first
// report ends the program). ThreadSanitizer must report each with the serial suppressions in
// force; if it does not, those suppressions hide what the case stands for.
// - A handler race: the event thread and a receive handler both bump one plain counter, and
//   nothing orders the thread's next bump after the handler's (the dispatch is not waited
//   for). Missed, every handler's races would be.
// - The stop order: an event thread must be joined before its hand-over point goes. Here the
//   point goes first, under a thread that still posts to it.
#include "serial/ComPort.h"
#include "serial/HandOver.h"
#include "serial/linux/LinuxSystem.h"

#include "os/linux/PseudoTerminal.h"
#include "support/PortsDirectory.h"
#include "support/Waiting.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

class CountingSystem : public LinuxSystem {
public:
    using LinuxSystem::LinuxSystem;
    int Poll(pollfd* fds, nfds_t count, int timeoutMs) override
    {
        if (count == 2) // the event thread's wait
            ++touched;
        return LinuxSystem::Poll(fds, count, timeoutMs);
    }
    int touched = 0; // deliberately neither atomic nor locked
};

} // namespace

TEST(TsanProbe, ARaceBetweenTheEventThreadAndAHandlerIsReported)
{
    PseudoTerminal pty;
    const PortsDirectory ports;
    auto system = std::make_shared<CountingSystem>(ports.Names());
    TComPort port(nullptr, system);
    port.SetDeviceName(pty.SlavePath());
    port.SetSynchronizeEvents(false);
    int calls = 0;
    port.SetOnRxChar([&](QObject*) {
        ++system->touched;
        ++calls;
    });
    port.Open();
    for (int i = 1; i <= 5; ++i) {
        pty.Send("x");
        ASSERT_TRUE(WaitUntil([&] { return calls >= i; }));
    }
}

TEST(TsanProbe, AHandOverPointDestroyedUnderAPostingThreadIsReported)
{
    auto* point = new HandOverPoint;
    std::atomic<int> posts = 0;
    std::atomic<bool> stop = false;
    std::thread poster([&] {
        while (!stop) {
            point->Post([] {});
            ++posts;
        }
    });
    while (posts == 0) {
    }
    delete point; // the regression: the point goes before its poster has been stopped
    const int then = posts;
    while (posts < then + 5) {
    }
    stop = true;
    poster.join();
    RunEventLoop(std::chrono::milliseconds(20));
}
