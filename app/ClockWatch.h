#pragma once
// Watches a PeriodicClock from the event loop of the thread that makes it: the system's own
// notifier for what the clock offers (a descriptor on Linux, a waitable timer on Windows).

#include "os/PeriodicClock.h"

#include <QObject>

#include <functional>
#include <memory>

class ClockWatch {
public:
    // Calls `expired` on this thread whenever the clock may have expired; starts disabled.
    ClockWatch(const PeriodicClock& clock, std::function<void()> expired);
    ~ClockWatch();
    ClockWatch(const ClockWatch&) = delete;
    ClockWatch& operator=(const ClockWatch&) = delete;

    void SetEnabled(bool enabled);

private:
    std::unique_ptr<QObject> notifier_;
    std::function<void(bool)> enable_;
};
