#pragma once
// What the fault tests share: a desktop that records message boxes instead of showing them,
// counts of what the process holds, and the far end of a pseudo-terminal read without waiting.

#include "app/Desktop.h"

#include <string>
#include <vector>

class RecordingDesktop : public Desktop {
public:
    void ShowMessage(const MessageBoxText& message) override { messages.push_back(message); }
    void Open(const QUrl&) override {}

    std::vector<MessageBoxText> messages;
};

// Entries of /proc/self/fd and /proc/self/task.
int OpenDescriptors();
int Threads();
// Waits until threads of earlier tests (an event thread lets its device go as it ends) are gone.
void WaitForLoneThread();

// Whatever the master side holds right now, without waiting; empty once it is closed.
std::string TakeWaiting(int master);

// Makes the far end's input queue full, as a peer that has stopped reading leaves it: writes
// through `slave` until the kernel takes no more.
void FillQueue(int slave);
