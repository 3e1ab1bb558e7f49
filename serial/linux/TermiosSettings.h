#pragma once
// Maps the port's line settings onto a termios record read from the device. Members at their
// ...Default value leave the record's field as the device reported it.

#include "serial/LineSettings.h"
#include "serial/WireTime.h"

#include <termios.h>

// Overwrites the record from the settings and makes it raw binary. Returns 0, or -EINVAL for a
// shape Linux cannot send (4 data bits, 1.5 stop bits). customRate receives the rate in bits per
// second when it needs the kernel's BOTHER form, else 0.
int CopyToTermios(const LineSettings& settings, termios& record, int& customRate);

// The frame of a record as the device took it, at the given rate.
WireTime WireTimeOf(const termios& record, int bitsPerSecond);
