#pragma once
// The port's line settings as the system's line-settings record (DCB), and the frame the record
// puts on the line.

#include "serial/LineSettings.h"
#include "serial/WireTime.h"

#include <windows.h>

// Overwrites the fields of a record read from the device that the settings name; members at
// their ...Default value leave the device's own. The flow characters and limits, the eight
// option flags and binary mode are always written.
void CopyToDcb(const LineSettings& settings, DCB& record);

// How long a byte takes on the line the record describes.
WireTime WireTimeOf(const DCB& record);
