#pragma once
// What the status hint adds when a port cannot be opened: the cure for a refusal the system
// explains, or nothing.

#include "os/ComNames.h"

#include <QString>

#include <string>

// `error` is the number the failed open left (LastErrorCode), `port` the channel's device name
// ("COMn") and `names` where it leads; the text starts on a new line.
QString PortCure(int error, const ComNames& names, const std::string& port);
