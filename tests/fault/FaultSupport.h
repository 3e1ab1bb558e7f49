#pragma once
// What the fault tests share: the far end of a pseudo-terminal read without waiting, a peer that
// stops reading, and a process without the threads of earlier tests.

#include <string>

// Waits until threads of earlier tests (an event thread lets its device go as it ends) are gone.
void WaitForLoneThread();

// Whatever the master side holds right now, without waiting; empty once it is closed.
std::string TakeWaiting(int master);

// Makes the far end's input queue full, as a peer that has stopped reading leaves it: writes
// through `slave` until the kernel takes no more.
void FillQueue(int slave);
