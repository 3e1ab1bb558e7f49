#pragma once
// A desktop for test windows: it records the message boxes and the links it is asked to show
// instead of showing them. The test program links the window's library.

#include "app/Desktop.h"

#include <vector>

class RecordingDesktop : public Desktop {
public:
    void ShowMessage(const MessageBoxText& message) override { messages.push_back(message); }
    void Open(const QUrl& target) override { opened.push_back(target); }

    std::vector<MessageBoxText> messages;
    std::vector<QUrl> opened;
};
