#pragma once
// Rates without a B constant. Kept free of <termios.h>: the kernel's termios2 clashes with it.

namespace customBaud {
// Sets input and output rate in bits per second; returns 0 or -errno.
int Set(int fd, int bitsPerSecond);
// The output rate the device runs at, in bits per second, or -errno.
int Get(int fd);
} // namespace customBaud
