#pragma once
// A test window whose port list holds COM7, a pseudo-terminal, with "19200" picked in the rate
// list; OpenOn chooses a port as the user does and makes sure it runs at that rate.

#include "FaultSupport.h"

#include "app/Form1.h"
#include "os/PseudoTerminal.h"
#include "support/PortsDirectory.h"
#include "support/ProcessCounts.h"
#include "support/QtPrinting.h"
#include "support/RecordingDesktop.h"
#include "support/UdpReceiver.h"
#include "support/Waiting.h"

#include <gtest/gtest.h>

#include <QTimer>

#include <memory>

class LiveWindow : public ::testing::Test {
protected:
    LiveWindow();
    ~LiveWindow() override;

    // Picks an item as the user does; a device that came after the window is added to the list.
    void Choose(QComboBox* list, const QString& item);
    // Maps COM`number` to `device` and chooses it.
    void OpenOn(int number, const PseudoTerminal& device);
    // Runs the event loop until Timer1 has fired `count` more times.
    bool TimerTicks(int count);
    // Ticks "Send via UDP" with the receiver as destination.
    void SendDatagramsToReceiver();
    // How many datagrams have arrived since the last call.
    int TakeDatagrams();

    PortsDirectory ports;
    PseudoTerminal com7;
    RecordingDesktop desktop;
    UdpReceiver receiver;
    std::unique_ptr<TForm1> form;
    int ticks = 0;
};
