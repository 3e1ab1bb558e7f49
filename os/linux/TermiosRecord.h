#pragma once
// What a termios record says about a line, for every folder that reads or writes one: the
// rates that have a B constant, and the character frame.

#include <optional>
#include <termios.h>

// The B constant for a rate in bits per second; nothing when termios names no such rate (the
// line then needs the kernel's BOTHER form).
std::optional<speed_t> SpeedConstant(int bitsPerSecond);

// Bits per second of a B constant; 0 for B0 and for anything else (BOTHER among them, whose
// rate only the kernel's termios2 carries).
int SpeedBitsPerSecond(speed_t speed);

// Data bits (5 to 8) and stop bits (1 or 2) of the record's character frame.
int DataBitsOf(const termios& record);
int StopBitsOf(const termios& record);
