#pragma once
// The port's line settings, as one record for the system's own line-settings call. Members at
// their ...Default value leave the device's field as the device reported it.

#include "serial/ComTypes.h"

#include <cstdint>

struct LineSettings {
    TBaudRate baudRate = brDefault;
    TDataBits dataBits = dbDefault;
    TParity parity = paDefault;
    TStopBits stopBits = sbDefault;
    TOptions options;
    TDTRControl dtr = dcDefault;
    TRTSControl rts = rcDefault;
    TXOnXOffControl xOnXOff = xcDefault;
    std::uint16_t xOnLimit = 0;
    std::uint16_t xOffLimit = 0;
    char xOn = 17;
    char xOff = 19;
    char error = 0;
    char eof = 0;
    char event = 0;
};
