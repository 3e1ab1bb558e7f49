#pragma once
// TForm1: the test window. It drives one display board through the serial channel and, when
// "Send via UDP" is ticked, with datagrams: single lines, the repeating test modes on Timer1,
// and the Lyra commands.

#include "app/Controls.h"
#include "app/Desktop.h"
#include "app/LocalClock.h"
#include "app/MaskEdit.h"
#include "app/PortSession.h"
#include "app/Timer.h"
#include "serial/NexCom.h"

#include <QDateTime>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class DeviceWatch;
class QTimer;
class TNMUDP;

class TForm1 : public QWidget {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 419;
    static constexpr int kClientHeight = 501;
    static inline const QString kDesignCaption = QStringLiteral("Marq4/Marq5/Lyra Testprogram");
    static inline const QString kWebAddress = QStringLiteral("www.example.com");
    static inline const QString kMailAddress = QStringLiteral("office@example.com");

    // `names`: where COM names lead, for the port list and the channel.
    TForm1(Desktop& desktop, ComNames names, QWidget* parent = nullptr);
    ~TForm1() override;

    // The local clock the test lines and the Lyra clock commands read.
    void SetClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }

    // Handlers, each as the user's action runs it.
    void Button2Click();
    void Button1Click();
    void EndClick();
    void ActualTimeClick();
    void DauertestClick();
    void Timer1Timer();
    void PortChange();
    void BaudChange();
    void Schreiben();
    void WebsiteLClick();
    void BugreportsLClick();
    void SendDataClick();
    void KappaModeClick();
    void LyraBrightnessTBChange();
    void TimeDateBClick();
    void TimeoutTBChange();

    void SendCommand(const std::string& text);
    // Looks the host in "IP Address:" up ahead of the first datagram, waiting up to `wait` for
    // the name service.
    void LookUpHost(std::chrono::milliseconds wait = {});

    // The current display line; Schreiben transforms it in place.
    std::string data;

    TLabel* Schnittstelle;
    TLabel* Daten;
    TLabel* Text2;
    TLabel* Test1;
    TLabel* Baudrate;
    TLabel* WebsiteL;
    TLabel* BugreportsL;
    TLabel* Label4;
    TLabel* Label5;
    TLabel* Label6;
    TLabel* IPL;
    TLabel* PortL;
    TLabel* BrightnessL;
    TLabel* TimeoutL;
    TLabel* TimeoutValueL;
    TLabel* BrightneswsValueL;
    TButton* Button1;
    TButton* Button2;
    TButton* End;
    TButton* ActualTime;
    TButton* Dauertest;
    TComboBox* Port;
    TComboBox* Baud;
    TComboBox* Address;
    TButton* SendData;
    TMaskEdit* BestNr;
    TMaskEdit* BestPunkte;
    TMaskEdit* Bestzeit;
    TCheckBox* KappaMode;
    TCheckBox* Lyra;
    TCheckBox* RotateRight;
    TCheckBox* RemoveDPCB;
    TCheckBox* RemoveDecPtCB;
    TCheckBox* SendUDPCB;
    TEdit* IPE;
    TEdit* PortE;
    TTrackBar* LyraBrightnessTB;
    TButton* TimeDateB;
    TTrackBar* TimeoutTB;
    TTimer* Timer1;
    TNMUDP* NMUDP1;

    // Test-mode state: which line a tick builds.
    bool ContinuousTest = false;
    bool SendingData = false;
    std::uint8_t ContinuousStep = 0;

    TNexComThread& Channel() { return *channel_; }

private:
    // Form1.cpp
    void CreateControls();
    void NameControls();
    void OrderTabs();
    void ConnectHandlers();
    void FormCreate();
    void FormDestroy();
    // Opens the channel again on its port and remembers its device; false with the reason shown
    // in Schnittstelle when that fails.
    bool ReopenChannel();
    // Shows in Schnittstelle why the port is not open.
    void ShowPortError();

    // PortList.cpp: brings the Interface list up to date with the devices present, keeping the
    // choice.
    void FillPortList();

    // LineOutput.cpp
    // Hands `text` to NMUDP1 for the host and port of the edits; false with the message shown in
    // Daten when the datagram could not be sent.
    bool SendDatagram(const std::string& text);
    void SetRemote();
    // Writes `text` to the open port; a failure shows beside "Interface" and ends nothing else.
    void WriteToPort(const std::string& text);

    // TestModes.cpp
    bool ZeroHundredths() const;
    // Timer1 stops. When it was `running` a test, that test ends, its button saying that a
    // click starts it again.
    void StopTest(bool running);

    // Reconnect.cpp
    // Readies the retries of a reopen.
    void WatchForReconnects();
    // The channel closed the port because its device went away: the reason shows beside
    // "Interface" at once, and the device is looked for to open it again when it is back.
    void PortLost(QObject* Sender, const std::string& reason);
    // The port is open now under the name the window shows: remember its device.
    void RememberOpenPort();
    // The number of the port the channel has, read from its whole name: the channel's own
    // reading keeps only two digits, so COM120 would show as COM20.
    int PortNumber() const;
    // Devices came or went: a port lost under the window is opened again if it is back.
    void ReopenReturnedPort();

    Desktop& desktop_;
    const ComNames names_;
    std::function<QDateTime()> clock_ = LocalNow;
    std::unique_ptr<TNexComThread> channel_;
    bool portInTrouble_ = false;
    PortSession session_;
    QTimer* reopenRetry_ = nullptr;
    DeviceWatch* devices_ = nullptr;

    static inline const QString kInterfaceHint = QStringLiteral("Status of interface");
};
