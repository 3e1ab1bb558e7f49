#pragma once
// The port the window had open, remembered for when it goes away under the window (an adapter
// knocked loose, a hub that resets), so that the window can open it again as soon as the same
// device is back. Whatever the user chooses meanwhile wins over the remembered port.

#include "os/ComNames.h"

#include <chrono>
#include <optional>
#include <set>
#include <string>

class PortSession {
public:
    using Clock = std::chrono::steady_clock;
    // How long a device that is back may refuse to open for a passing reason (udev has not yet
    // handed the node to its group, ModemManager probes a new ttyACM) before the refusal counts.
    static constexpr std::chrono::seconds kSettling{5};

    // `name` ("COMn") is open now.
    void Opened(const ComNames& names, const std::string& name);
    // The open port went away under the window; the look-alikes present now are not it.
    void Lost(const ComNames& names);
    // The user chose a port, "none" or a rate: nothing is to be reopened for them.
    void Forget();

    // Asked when devices have come or gone, and again while a returned device refuses for a
    // passing reason: the name to reopen the lost device under. Nothing while it is away, nor
    // once it has refused for good this time back, so that a device that cannot be opened is
    // not tried over and over.
    std::optional<std::string> Returned(const ComNames& names, Clock::time_point now);
    // The device Returned named could not be opened: whether to try again soon, which is so for
    // a passing refusal until kSettling after the device came back.
    bool Refused(bool passing, Clock::time_point now);
    // Why a device like the lost one, present now, was not taken for it; empty otherwise.
    const std::string& Doubt() const { return doubt_; }

private:
    std::optional<ComNames::Device> device_;
    std::string name_;
    // The sockets of look-alikes present when it went or seen while it was away.
    std::set<std::string> notIt_;
    bool lost_ = false;
    std::optional<Clock::time_point> backSince_;
    bool refused_ = false;
    std::string doubt_;
};
