#pragma once
// What the system says of the adapter behind a COM name, in words for a technician on site: the
// device and product (Linux: the node, by-id name or USB maker and product; Windows: the device
// manager's name), the driver that serves it, and an FTDI adapter's latency timer, which holds
// received bytes back for up to that long.

#include "os/ComNames.h"

#include <optional>
#include <string>
#include <string_view>

struct AdapterFacts {
    std::string device;
    std::string driver;                 // empty where the system does not name one
    std::optional<int> latencyTimerMs;  // only where the driver shows it
};

AdapterFacts ReadAdapterFacts(const ComNames& names, std::string_view comName);
