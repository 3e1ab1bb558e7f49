#include "serial/Bell.h"

#include <unistd.h>

void RingBell(unsigned /*type*/)
{
    // Without a window of our own, the terminal's bell, and only where someone can hear it.
    if (isatty(STDERR_FILENO))
        (void)!write(STDERR_FILENO, "\a", 1);
}
