// The application goes away while a port is open and bytes keep arriving: the port's event
// thread must end with it, whatever it was handing over at that moment, and the port must still
// close afterwards. A program of its own, because it destroys its own QCoreApplication; it
// exits with 0 when all of that holds.
#include "serial/ComPort.h"

#include "os/linux/PseudoTerminal.h"
#include "support/PortsDirectory.h"
#include "support/ProcessCounts.h"
#include "support/Waiting.h"

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

bool Expect(bool condition, const char* what)
{
    if (!condition)
        std::fprintf(stderr, "FAILED: %s\n", what);
    return condition;
}

} // namespace

int main(int argc, char** argv)
{
    PseudoTerminal pty;
    const PortsDirectory ports;
    auto* application = new QCoreApplication(argc, argv);
    TComPort port(ports.Names());
    port.SetDeviceName(pty.SlavePath());
    std::size_t received = 0;
    port.SetOnRxChar([&](QObject*) { received += port.ReadString().size(); });

    // The far end sends a byte a millisecond, before, during and after the application's end.
    std::atomic<bool> stop = false;
    std::thread farEnd([&] {
        for (int n = 0; n < 20000 && !stop; ++n) {
            pty.Send("x");
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const std::size_t threads = Threads();
    port.Open();
    bool ok = Expect(port.HasEventThread(), "the port watches the line");
    ok &= Expect(WaitUntil([&] { return received >= 20; }, std::chrono::seconds(30)),
                 "bytes reach the handler");

    delete application; // bytes keep coming, and the thread may be handing some over right now
    ok &= Expect(!port.HasEventThread(), "the event thread ended with the application");
    // Joined at once; the kernel drops the thread's entry a moment after waking the joiner.
    ok &= Expect(WaitWithoutEvents([&] { return Threads() == threads; }, std::chrono::seconds(5)),
                 "no thread of the port is left running");

    stop = true;
    farEnd.join();
    port.Close();
    ok &= Expect(!port.GetActive(), "the port closes without an application");
    std::printf("%s\n", ok ? "passed" : "failed");
    return ok ? 0 : 1;
}
