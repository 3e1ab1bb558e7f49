#include "os/PeriodicClock.h"

// Windows has no clock an event loop can watch through a descriptor: none is made, and the owner
// uses a timer of its own.

PeriodicClock::PeriodicClock() = default;
PeriodicClock::~PeriodicClock() = default;

void PeriodicClock::Arm(int) {}

void PeriodicClock::Disarm() {}

bool PeriodicClock::Expired()
{
    return false;
}
