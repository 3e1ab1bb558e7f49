#include "app/ClockWatch.h"

// The constructor is the system's (linux/, win32/ ClockWatch.cpp): it makes the notifier.

ClockWatch::~ClockWatch() = default;

void ClockWatch::SetEnabled(bool enabled)
{
    enable_(enabled);
}
