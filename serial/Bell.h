#pragma once
// The system's warning sound; type is the kind of message it goes with (0 for the default).
void RingBell(unsigned type);
