#pragma once
// What the status hint adds when a port cannot be opened: the cure for a refusal the system
// explains, or nothing.

#include <QString>

// `error` is the number the failed open left (LastErrorCode); the text starts on a new line.
QString PortCure(int error);
