#pragma once
// A kernel clock that expires at absolute deadlines, one interval apart, and says so on a
// descriptor an event loop can watch for reading (a QSocketNotifier). Where the system offers no
// such clock (Windows), or has no descriptor left, there is none: the owner then needs a timer of
// its own.

class PeriodicClock {
public:
    PeriodicClock();
    ~PeriodicClock();
    PeriodicClock(const PeriodicClock&) = delete;
    PeriodicClock& operator=(const PeriodicClock&) = delete;

    // The descriptor to watch, or -1 when there is no clock.
    int Descriptor() const { return descriptor_; }
    bool Valid() const { return descriptor_ >= 0; }

    // The first deadline one interval from now, then every interval after it; deadlines keep
    // their phase however late they are read. A zero interval means "at once" and then again
    // at every chance.
    void Arm(int intervalMs);
    // No deadline from now on, and none that passed unread is reported.
    void Disarm();
    // Reads off the deadlines that passed: true when at least one did since the last call.
    bool Expired();

private:
    int descriptor_ = -1;
};
