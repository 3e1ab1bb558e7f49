#include "os/AdapterFacts.h"

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

AdapterFacts ReadAdapterFacts(const ComNames& names, std::string_view comName)
{
    AdapterFacts facts;
    facts.device = names.Describe(comName);
    std::error_code error;
    const fs::path node = fs::canonical(names.Resolve(comName), error);
    if (error)
        return facts;
    // The tty's device links to its driver: serial8250, ftdi_sio, cdc_acm, ch341-uart, ... A
    // pseudo-terminal has no device.
    const fs::path device = fs::path("/sys/class/tty") / node.filename() / "device";
    const fs::path driver = fs::read_symlink(device / "driver", error);
    if (!error)
        facts.driver = driver.filename().string();
    // ftdi_sio shows the latency timer of the port in milliseconds.
    std::ifstream latency(device / "latency_timer");
    int ms = 0;
    if (latency >> ms)
        facts.latencyTimerMs = ms;
    return facts;
}
