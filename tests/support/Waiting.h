#pragma once
// Bounded waits. Most keep the Qt event loop running, so that events handed to the
// user-interface thread are delivered meanwhile; WaitWithoutEvents does not.

#include <chrono>
#include <functional>

// Runs the event loop until done() holds or the limit has passed; returns done().
bool WaitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(5));
// Runs the event loop for the given time (to show that something does NOT happen).
void RunEventLoop(std::chrono::milliseconds time);
// Waits without running the event loop, for conditions that another thread or the kernel
// makes true (bytes arriving in a queue), so that no event is delivered meanwhile.
bool WaitWithoutEvents(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(10));
