// A planted race, built only with -DMARQ_TSAN_PROBE=ON: the event thread and a receive handler
// both bump one plain counter, and nothing orders the thread's next bump after the handler's (the
// dispatch is not waited for). ThreadSanitizer must report it with the serial suppressions in
// force; if it does not, those suppressions hide races in every handler.
#include "serial/ComPort.h"
#include "serial/SerialSystem.h"

#include "os/PseudoTerminal.h"
#include "support/Waiting.h"

#include <gtest/gtest.h>

namespace {

class CountingSystem : public SerialSystem {
public:
    int Poll(pollfd* fds, nfds_t count, int timeoutMs) override
    {
        if (count == 2) // the event thread's wait
            ++touched;
        return SerialSystem::Poll(fds, count, timeoutMs);
    }
    int touched = 0; // deliberately neither atomic nor locked
};

} // namespace

TEST(TsanProbe, ARaceBetweenTheEventThreadAndAHandlerIsReported)
{
    PseudoTerminal pty;
    auto system = std::make_shared<CountingSystem>();
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
