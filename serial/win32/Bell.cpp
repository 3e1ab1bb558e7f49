#include "serial/Bell.h"

#include <windows.h>

void RingBell(unsigned type) { ::MessageBeep(type); }
