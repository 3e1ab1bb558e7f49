#include "app/Form1.h"

#include "app/DeviceWatch.h"
#include "app/FontFit.h"
#include "app/FormLayout.h"
#include "app/PortCure.h"
#include "net/NMUDP.h"
#include "net/UdpEndpoint.h"
#include "os/VersionInfo.h"
#include "protocol/Addresses.h"
#include "protocol/LineRates.h"

#include <QApplication>
#include <QCoreApplication>
#include <QPainter>
#include <QScreen>

#include <utility>

namespace {

const QString kRemoveColonCaption = QStringLiteral("Remove \":\"");
const QString kRemovePointCaption = QStringLiteral("Remove \".\"");

QStringList RateItems()
{
    QStringList items;
    for (const std::string& rate : protocol::LineRateTexts())
        items << QString::fromStdString(rate);
    return items;
}

QStringList AddressItems()
{
    QStringList items{QString::fromLatin1(protocol::kNoAddress)};
    for (const char letter : protocol::kAddressLetters)
        items << QString(QLatin1Char(letter));
    return items;
}

// A small picture of a board: two lit seven-segment eights.
QIcon BoardIcon()
{
    QPixmap picture(32, 32);
    picture.fill(Qt::black);
    QPainter painter(&picture);
    painter.setPen(QPen(QColor(255, 0, 0), 2));
    for (int x : {4, 18}) {
        painter.drawRect(x, 6, 10, 9);
        painter.drawRect(x, 15, 10, 10);
    }
    return QIcon(picture);
}

} // namespace

TForm1::TForm1(Desktop& desktop, ComNames names, QWidget* parent)
    : QWidget(parent), desktop_(desktop), names_(std::move(names))
{
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kClientWidth, kClientHeight);
    setWindowTitle(kDesignCaption);
    setWindowIcon(BoardIcon());
    CreateControls();
    FormCreate();
    ConnectHandlers();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect centred(QPoint(), frameSize());
        centred.moveCenter(screen->availableGeometry().center());
        move(centred.topLeft());
    }
}

TForm1::~TForm1()
{
    try {
        FormDestroy();
    } catch (const std::exception&) {
        // A port that fails to close as the window goes has no one left to tell.
    }
}

void TForm1::CreateControls()
{
    const TAnchors leftBottom = {akLeft, akBottom};
    Schnittstelle = new TLabel(this, "???", {{160, 24, 18, 13}, kInterfaceHint});
    Daten = new TLabel(this, "None", {{280, 200, 26, 13}, "Shows the data to the Marq"});
    Text2 = new TLabel(this, "Data:", {{208, 200, 26, 13}, "Protocol on Interface:"});
    Test1 = new TLabel(this, "Interface", {{40, 24, 42, 13}, "Name of Interface"});
    Baudrate = new TLabel(this, "Baudrate:", {{240, 24, 46, 13}, "Select Baud rate of Marq"});
    WebsiteL = new TLabel(this, kWebAddress,
                          {{40, 484, 131, 13}, "Visit our web site", leftBottom});
    BugreportsL = new TLabel(this, "e-mail: " + kMailAddress,
                             {{232, 484, 143, 13}, "Send us an e-mail", leftBottom});
    Label4 = new TLabel(this, "Nr.", {{208, 152, 14, 13}, "Enter a startnumber"});
    Label5 = new TLabel(this, "Points/Rank", {{336, 152, 60, 13}, "Enter points or rank"});
    Label6 = new TLabel(this, "Time:", {{256, 152, 26, 13}, "Enter Time to display"});
    IPL = new TLabel(this, "IP Address:", {{208, 248, 54, 13}, "Please enter here the host addess"});
    PortL = new TLabel(this, "Port:", {{328, 248, 22, 13}, "Please enter here the port"});
    BrightnessL = new TLabel(this, "Lyra Brightness:", {{40, 352, 86, 13}, "Adjust Brightness on Lyra"});
    const QString timeoutHint = "Adjust Timeout on Lyra between 0 and 990 seconds";
    TimeoutL = new TLabel(this, "Lyra Timeout:", {{40, 408, 75, 13}, timeoutHint});
    TimeoutValueL = new TLabel(this, "???", {{120, 408, 18, 13}, timeoutHint});
    BrightneswsValueL = new TLabel(this, "???", {{136, 352, 18, 13}, "Adjust Brightness on Lyra"});
    Button1 = new TButton(this, "88:88:88.888", {{40, 56, 137, 33}, "Show all Digits"});
    Button2 = new TButton(this, "Blank", {{40, 104, 137, 33}, "No Digits are visible"});
    End = new TButton(this, "End", {{286, 444, 89, 25}, "Exit Program", {akRight, akBottom}});
    ActualTime = new TButton(this, "Actual Time", {{240, 56, 137, 33}, "Sends the actual Time"});
    Dauertest = new TButton(this, "Continous Test", {{240, 104, 137, 33}, "Start/Stop a continous Test"});
    Port = new TComboBox(this, {}, {{88, 16, 65, 21}, "Please choose Com Port"});
    Baud = new TComboBox(this, RateItems(), {{312, 16, 65, 21}, "Select Baud rate of Marq"});
    Address = new TComboBox(this, AddressItems(), {{40, 320, 89, 21}, "Marq Address"});
    SendData = new TButton(this, "Send Data", {{40, 152, 137, 33}, "Start/Stop a continous Test"});
    BestNr = new TMaskEdit(this, "ccc;1;_", {{208, 168, 33, 21}, "Enter a startnumber"});
    BestPunkte = new TMaskEdit(this, "cc;1;_", {{352, 168, 22, 21}, "Enter points or rank"});
    Bestzeit = new TMaskEdit(this, "cc:cc:cc.ccc;1;_", {{256, 168, 73, 21}, "Enter Time to display"});
    KappaMode = new TCheckBox(this, "Kappa Mode",
                              {{40, 216, 97, 17}, "Kappa Mode: for a second timing device, line format 7-N-2"});
    Lyra = new TCheckBox(this, "Lyra Mode",
                         {{40, 192, 97, 17}, "Special Mode for testing Lyra points and colons"});
    RotateRight = new TCheckBox(this, "Rotate right", {{40, 240, 97, 17}, "Rotate time 2 Digits right"});
    RemoveDPCB = new TCheckBox(this, kRemoveColonCaption,
                               {{40, 264, 97, 17}, "Remove all \":\" from protocol"});
    RemoveDecPtCB = new TCheckBox(this, kRemovePointCaption,
                                  {{40, 288, 97, 17}, "Remove all \".\" from protocol"});
    SendUDPCB = new TCheckBox(this, "Send via UDP", {{208, 224, 169, 17}, "Check this to send data via UDP"});
    IPE = new TEdit(this, "127.0.0.1", {{208, 264, 113, 21}, "Please enter here the host addess"});
    PortE = new TEdit(this, QString::number(kDefaultUdpPort), {{328, 264, 49, 21}, "Please enter here the port"});
    LyraBrightnessTB = new TTrackBar(this, 0, 9, 5, {{40, 368, 217, 33}, "Adjust Brightness on Lyra"});
    TimeDateB = new TButton(this, "Set Time and Date on Lyra",
                            {{208, 296, 169, 25},
                             "This Buttons sends the PC Time and Date to the Lyra; Does not work on Marq4/5",
                             {akLeft, akTop, akRight}});
    TimeoutTB = new TTrackBar(this, 0, 99, 0, {{40, 424, 217, 33}, timeoutHint});
    Timer1 = new TTimer(this);
    NMUDP1 = new TNMUDP(this);
    NameControls();
    OrderTabs();
    FitFontToDesign(*this);
    // Driver messages can be long; the status keeps to the room left of "Baudrate:", above the
    // buttons.
    Schnittstelle->SetTextBox(Baudrate->x() - Schnittstelle->x() - 2, 2);
}

void TForm1::NameControls()
{
    const std::pair<QObject*, const char*> names[] = {
        {Schnittstelle, "Schnittstelle"}, {Daten, "Daten"}, {Text2, "Text2"}, {Test1, "Test1"},
        {Baudrate, "Baudrate"}, {WebsiteL, "WebsiteL"}, {BugreportsL, "BugreportsL"},
        {Label4, "Label4"}, {Label5, "Label5"}, {Label6, "Label6"}, {IPL, "IPL"}, {PortL, "PortL"},
        {BrightnessL, "BrightnessL"}, {TimeoutL, "TimeoutL"}, {TimeoutValueL, "TimeoutValueL"},
        {BrightneswsValueL, "BrightneswsValueL"}, {Button1, "Button1"}, {Button2, "Button2"},
        {End, "End"}, {ActualTime, "ActualTime"}, {Dauertest, "Dauertest"}, {Port, "Port"},
        {Baud, "Baud"}, {Address, "Address"}, {SendData, "SendData"}, {BestNr, "BestNr"},
        {BestPunkte, "BestPunkte"}, {Bestzeit, "Bestzeit"}, {KappaMode, "KappaMode"},
        {Lyra, "Lyra"}, {RotateRight, "RotateRight"}, {RemoveDPCB, "RemoveDPCB"},
        {RemoveDecPtCB, "RemoveDecPtCB"}, {SendUDPCB, "SendUDPCB"}, {IPE, "IPE"}, {PortE, "PortE"},
        {LyraBrightnessTB, "LyraBrightnessTB"}, {TimeDateB, "TimeDateB"}, {TimeoutTB, "TimeoutTB"},
        {Timer1, "Timer1"}, {NMUDP1, "NMUDP1"}};
    for (const auto& [object, name] : names)
        object->setObjectName(QLatin1String(name));
}

void TForm1::OrderTabs()
{
    // Keyboard order, from the port list to the time-out track bar.
    const QList<QWidget*> tabOrder = {Port,     Baud,        Button1,        ActualTime, Button2,
                                      Dauertest, SendData,   BestNr,         Bestzeit,   BestPunkte,
                                      Lyra,     KappaMode,   RotateRight,    RemoveDPCB, RemoveDecPtCB,
                                      Address,  SendUDPCB,   IPE,            PortE,      End,
                                      LyraBrightnessTB, TimeDateB, TimeoutTB};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
}

void TForm1::ConnectHandlers()
{
    auto on = [this](auto* control, auto signal, void (TForm1::*handler)()) {
        connect(control, signal, this, [this, handler] { Guarded(desktop_, [&] { (this->*handler)(); }); });
    };
    on(Button1, &QPushButton::clicked, &TForm1::Button1Click);
    on(Button2, &QPushButton::clicked, &TForm1::Button2Click);
    on(End, &QPushButton::clicked, &TForm1::EndClick);
    on(ActualTime, &QPushButton::clicked, &TForm1::ActualTimeClick);
    on(Dauertest, &QPushButton::clicked, &TForm1::DauertestClick);
    on(SendData, &QPushButton::clicked, &TForm1::SendDataClick);
    on(TimeDateB, &QPushButton::clicked, &TForm1::TimeDateBClick);
    on(Timer1, &TTimer::timeout, &TForm1::Timer1Timer);
    on(Port, &QComboBox::activated, &TForm1::PortChange);
    on(Port, &TComboBox::DropDown, &TForm1::FillPortList);
    on(devices_, &DeviceWatch::Changed, &TForm1::FillPortList);
    on(devices_, &DeviceWatch::Changed, &TForm1::ReopenReturnedPort); // with the list up to date
    on(Baud, &QComboBox::activated, &TForm1::BaudChange);
    on(KappaMode, &QCheckBox::toggled, &TForm1::KappaModeClick);
    on(WebsiteL, &TLabel::Click, &TForm1::WebsiteLClick);
    on(BugreportsL, &TLabel::Click, &TForm1::BugreportsLClick);
    on(LyraBrightnessTB, &QSlider::valueChanged, &TForm1::LyraBrightnessTBChange);
    on(TimeoutTB, &QSlider::valueChanged, &TForm1::TimeoutTBChange);
    // A host typed is looked up as soon as it is entered, so that the first datagram finds it.
    connect(IPE, &QLineEdit::editingFinished, this, [this] { LookUpHost(); });
    WatchForReconnects();
}

void TForm1::FormCreate()
{
    AdjustFormLayout(*this, false, FrameExtent(*this));
    BugreportsL->SetLinkStyle();
    WebsiteL->SetLinkStyle();
    setWindowTitle(QString::fromStdString(AppendVersion(windowTitle().toStdString())));
    ContinuousStep = 0;
    channel_ = std::make_unique<TNexComThread>(names_, this);
    channel_->SetOnPortLost(TPortLostEvent(this, &TForm1::PortLost));
    channel_->SetBaud(protocol::kLineRates.front().bitsPerSecond); // the rate list's first item
    devices_ = new DeviceWatch(names_, this); // first, so that no device comes unseen
    FillPortList();
}

void TForm1::FormDestroy()
{
    Timer1->stop();
    if (channel_ && channel_->ok())
        channel_->ClosePort();
    channel_.reset();
}

void TForm1::PortChange()
{
    portInTrouble_ = false;
    session_.Forget();
    if (channel_->ok())
        channel_->ClosePort();
    const int index = Port->currentIndex();
    if (index <= 0)
        return;
    // The window's own reading, not ComNames::Number: whatever follows the first three
    // characters, as a decimal number; an item that is none tries port 0.
    bool isNumber = false;
    const int number = Port->itemText(index).mid(3).toInt(&isNumber);
    channel_->SetPort(isNumber ? number : 0);
    try {
        channel_->OpenPort();
        if (channel_->ok()) {
            Schnittstelle->SetCaption(QStringLiteral("COM%1 OK!").arg(PortNumber()));
            Schnittstelle->SetHint(kInterfaceHint);
            RememberOpenPort();
        }
    } catch (const std::exception&) {
        ShowPortError();
        const QString reason = QString::fromStdString(channel_->LastError());
        desktop_.ShowMessage({kApplicationTitle, "Could not open Comport:" + reason});
    }
}

void TForm1::BaudChange()
{
    const auto storeRate = [this] {
        try {
            channel_->SetBaud(protocol::LineRateAt(Baud->currentIndex()).bitsPerSecond);
        } catch (const std::exception&) {
            desktop_.ShowMessage({"Error", "Error changing Baudrate", MessageBoxText::Icon::Error});
        }
    };
    // With "none" chosen the rate waits for the next port the user picks: reopening the
    // channel's last device would send test lines to a port nobody chose (COM1 at first).
    if (Port->currentIndex() <= 0) {
        storeRate();
        return;
    }
    const bool wasRunning = Timer1->isActive();
    Timer1->stop();
    session_.Forget();
    channel_->ClosePort();
    storeRate();
    if (!ReopenChannel()) {
        StopTest(wasRunning); // stays stopped: each mode button must say it starts its test
        return;
    }
    Schnittstelle->SetHint(kInterfaceHint);
    if (wasRunning)
        Timer1->start();
}

bool TForm1::ReopenChannel()
{
    try {
        channel_->OpenPort();
    } catch (const std::exception&) {
        // the reason is in LastError, shown below
    }
    if (!channel_->ok()) {
        ShowPortError();
        return false;
    }
    RememberOpenPort();
    return true;
}

void TForm1::ShowPortError()
{
    Schnittstelle->SetCaption(QString::fromStdString(channel_->LastError()));
    Schnittstelle->SetHint(kInterfaceHint +
                           PortCure(channel_->LastErrorKind(), names_, channel_->DeviceName()));
}

void TForm1::KappaModeClick()
{
    channel_->SetKappaFrame(KappaMode->isChecked());
}

void TForm1::EndClick()
{
    QCoreApplication::quit();
}

void TForm1::WebsiteLClick()
{
    desktop_.Open(QUrl::fromUserInput(WebsiteL->text()));
}

void TForm1::BugreportsLClick()
{
    desktop_.Open(QUrl("mailto:" + kMailAddress + "?subject= " + windowTitle(), QUrl::TolerantMode));
}
