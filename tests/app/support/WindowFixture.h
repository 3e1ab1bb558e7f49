#pragma once
// A fresh test window per test, with a fixed clock, a private ports directory, the virtual
// ports a test asks for, and a UDP receiver that "Send via UDP" can be pointed at.

#include "VirtualComPort.h"

#include "app/Form1.h"
#include "support/PortsDirectory.h"
#include "support/QtPrinting.h"
#include "support/RecordingDesktop.h"
#include "support/UdpReceiver.h"
#include "support/Waiting.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <memory>

class WindowTest : public ::testing::Test {
protected:
    // The window lists the ports that exist when it is made: the virtual ports COM`numbers`
    // are made first, kept in `devices`.
    explicit WindowTest(std::initializer_list<int> numbers = {});
    ~WindowTest() override;

    // Ticks "Send via UDP" with a click and points the port edit at the receiver.
    void SendToReceiver();
    void Click(QWidget* control);
    // Picks an item of a drop-down list as the user does, raising its change handler. A port
    // the list does not show (one that came after the window, or cannot be opened) is added.
    void Choose(QComboBox* list, const QString& item);
    void Type(QWidget* control, const QString& text);
    // The next datagram, or "(nothing)".
    std::string NextDatagram(std::chrono::milliseconds limit = std::chrono::seconds(5));
    // Runs the event loop until Timer1 has fired `count` more times.
    bool TimerTicks(int count);

    QDateTime now{QDate(2026, 12, 7), QTime(12, 34, 56, 789)};
    int clockReadings = 0;
    PortsDirectory ports;
    std::map<int, VirtualComPort> devices;
    RecordingDesktop desktop;
    UdpReceiver receiver;
    std::unique_ptr<TForm1> form;
    int ticks = 0;
};

inline std::string Line(std::string_view text)
{
    return std::string(text) + '\r';
}
