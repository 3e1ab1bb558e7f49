#pragma once
// A kernel clock that expires at absolute deadlines, one interval apart, and says so on an object
// an event loop can watch: on Linux a descriptor that turns readable (a timerfd), on Windows a
// waitable timer that is signalled. Where the system has none left, there is none: the owner then
// needs a timer of its own.

#include <cstdint>

class PeriodicClock {
public:
    PeriodicClock();
    ~PeriodicClock();
    PeriodicClock(const PeriodicClock&) = delete;
    PeriodicClock& operator=(const PeriodicClock&) = delete;

    // What to watch: the descriptor on Linux, the timer's HANDLE on Windows; kNone without a
    // clock.
    static constexpr std::intptr_t kNone = -1;
    std::intptr_t Watched() const { return watched_; }
    bool Valid() const { return watched_ != kNone; }

    // The first deadline one interval from now, then every interval after it; deadlines keep
    // their phase however late they are read. A zero interval means "at once" and then again
    // at every chance.
    void Arm(int intervalMs);
    // No deadline from now on, and none that passed unread is reported.
    void Disarm();
    // Reads off the deadlines that passed: true when at least one did since the last call.
    bool Expired();

private:
    std::intptr_t watched_ = kNone;
    // Whether the clock keeps time finer than the system's timer tick (a timerfd always does).
    // One that does not raises the system's timer resolution while it is armed.
    bool highResolution_ = false;
    enum class State { Disarmed, Armed, ArmedOnFinerSystemTicks };
    State state_ = State::Disarmed;
};
