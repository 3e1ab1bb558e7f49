#pragma once
// What the status hint adds when a port cannot be opened: the cure for a refusal the system
// explains, or nothing.

#include "os/ComNames.h"
#include "serial/ComTypes.h"

#include <QString>

#include <string>

// `kind` is what the failed open's error means (LastErrorKind), `port` the channel's device name
// ("COMn") and `names` where it leads; the text starts on a new line.
QString PortCure(TComErrorKind kind, const ComNames& names, const std::string& port);
