#pragma once
// A kernel clock that expires at absolute deadlines, one interval apart, and says so on an object
// an event loop can watch: on Linux a descriptor that turns readable (a timerfd), on Windows a
// waitable timer that is signalled. Where the system has none left, there is none: the owner then
// needs a timer of its own.

#include <chrono>
#include <cstdint>
#include <memory>

// The system's timer calls, where tests script them (Windows: os/win32/TimerCalls.h).
class TimerCalls;

class PeriodicClock {
public:
    // Without calls, the system's own.
    explicit PeriodicClock(std::shared_ptr<TimerCalls> calls = {});
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
    // at every chance. False when the system refused: the clock stays disarmed.
    bool Arm(int intervalMs);
    // No deadline from now on, and none that passed unread is reported.
    void Disarm();
    // Reads off the deadlines that passed: true when at least one did since the last call.
    // Called at every sign from the watch, which it may answer by setting the next deadline.
    bool Expired();
    // Armed and still keeping its deadlines (one the system refuses to set again is not).
    bool Armed() const { return state_ != State::Disarmed; }

private:
    std::intptr_t watched_ = kNone;
    // Whether the clock keeps time finer than the system's timer tick (a timerfd always does).
    // One that does not raises the system's timer resolution while it is armed.
    bool highResolution_ = false;
    enum class State { Disarmed, Armed, ArmedOnFinerSystemTicks };
    State state_ = State::Disarmed;
    // A clock that sets each deadline anew (Windows): its calls, its interval and the next one.
    std::shared_ptr<TimerCalls> calls_;
    [[maybe_unused]] int intervalMs_ = 0; // unused where the kernel keeps the interval (Linux)
    std::chrono::steady_clock::time_point next_{};
};
