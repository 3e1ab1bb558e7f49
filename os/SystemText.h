#pragma once
// The operating system's own text for an error number, shared by every folder that reports a
// failed system call. Free of Qt, like the exceptions that carry it.

#include <string>

// The text for error number `error` (errno on Linux, GetLastError or WSAGetLastError on
// Windows), without trailing blanks, control characters or full stops.
std::string SystemText(int error);

// The system's text as the program shows it: trailing blanks, control characters and full stops
// removed (Windows ends its texts in ".\r\n").
std::string TrimmedSystemText(std::string text);
