#pragma once
// Maps the port's line settings onto a termios record read from the device. Members at their
// ...Default value leave the record's field as the device reported it.

#include "serial/ComTypes.h"
#include "serial/WireTime.h"

#include <termios.h>

struct LineSettings {
    TBaudRate baudRate = brDefault;
    TDataBits dataBits = dbDefault;
    TParity parity = paDefault;
    TStopBits stopBits = sbDefault;
    TOptions options;
    TRTSControl rts = rcDefault;
    TXOnXOffControl xOnXOff = xcDefault;
    char xOn = 17;
    char xOff = 19;
};

// Bits per second of a rate member; 0 for brDefault and brCustom.
int BitsPerSecond(TBaudRate rate);
// The rate member for bits per second; brDefault for a rate that has none.
TBaudRate BaudRateOf(int bitsPerSecond);

// Overwrites the record from the settings and makes it raw binary. Returns 0, or -EINVAL for a
// shape Linux cannot send (4 data bits, 1.5 stop bits). customRate receives the rate in bits per
// second when it needs the kernel's BOTHER form, else 0.
int CopyToTermios(const LineSettings& settings, termios& record, int& customRate);

// The frame of a record as the device took it, at the given rate.
WireTime WireTimeOf(const termios& record, int bitsPerSecond);
