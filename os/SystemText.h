#pragma once
// The operating system's own text for an error number, shared by every folder that reports a
// failed system call. Free of Qt, like the exceptions that carry it.

#include <string>

// The text for errno value `error`, without trailing blanks, control characters or full stops.
std::string SystemText(int error);
