#pragma once
// What the status hint adds when a port cannot be opened: the cure for a refusal the system
// explains, or nothing.

#include <QString>

#include <string>

// `error` is the number the failed open left (LastErrorCode), `port` the channel's device name
// ("COMn"); the text starts on a new line.
QString PortCure(int error, const std::string& port);
