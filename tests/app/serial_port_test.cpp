// Choosing, opening and configuring the serial port from the window, and what reaches the line.
#include "WindowFixture.h"

#include "net/NMUDP.h"

#include "serial/linux/LinuxSystem.h"

#include <QElapsedTimer>
#include <QFile>

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const std::string kAllDigits = Line("        88:88:88.888  ");

// The window is created after the virtual ports exist, so that its list shows them.
class SerialPortTest : public WindowTest {
protected:
    SerialPortTest() : WindowTest({7, 10, 2}) {}

    void Open7()
    {
        Choose(form->Port, "COM7");
        ASSERT_EQ(form->Schnittstelle->text(), "COM7 OK!");
        ASSERT_TRUE(form->Channel().ok());
    }

    VirtualComPort& com7 = devices.at(7);
    VirtualComPort& com10 = devices.at(10);
};

TEST_F(SerialPortTest, ListShowsPortsSortedAsTextWithTheirDescription)
{
    QStringList items;
    for (int i = 0; i < form->Port->count(); ++i)
        items << form->Port->itemText(i);
    EXPECT_EQ(items.value(0), "none");
    EXPECT_LT(items.indexOf("COM10"), items.indexOf("COM2"));
    EXPECT_LT(items.indexOf("COM2"), items.indexOf("COM7"));
    ASSERT_GT(items.indexOf("COM10"), 0);
    EXPECT_FALSE(form->Port->itemData(items.indexOf("COM7"), Qt::ToolTipRole).toString().isEmpty());
    EXPECT_EQ(form->Schnittstelle->text(), "???") << "nothing is opened at start";
}

TEST_F(SerialPortTest, LinesReachTheLineAndTheDatagramAlike)
{
    Open7();
    SendToReceiver();
    form->Address->setCurrentIndex(form->Address->findText("C"));
    form->Button1->click();
    EXPECT_EQ(com7.Read(24), "C" + kAllDigits);
    EXPECT_EQ(receiver.ReceiveRunningEvents().value_or(""), "C" + kAllDigits);

    // Lyra commands go out twice as well; the clock sends seven.
    form->TimeDateB->click();
    const std::string commands = com7.Read(7 * 8);
    EXPECT_EQ(commands.size(), 56u);
    EXPECT_EQ(commands.substr(0, 8), "\x1bW00056\r");
    EXPECT_EQ(receiver.Drain().size(), 7u);
}

TEST_F(SerialPortTest, ActualTimeOnTheLineAtTwoRates)
{
    Open7();
    form->ActualTime->click();
    EXPECT_EQ(com7.Read(23), Line("   .    12:34:56.70   "));
    form->ActualTime->click();
    com7.ReadAvailable();

    form->Baud->setCurrentIndex(3);
    emit form->Baud->activated(3);
    EXPECT_EQ(form->Schnittstelle->text(), "COM7 OK!") << "success leaves the label as it was";
    form->ActualTime->click();
    EXPECT_EQ(form->Timer1->interval(), 13);
    EXPECT_EQ(com7.Read(23), Line("   .    12:34:56.78   "));
    form->ActualTime->click();
    const std::string rest = com7.ReadAvailable();
    ASSERT_GE(rest.size(), 23u);
    EXPECT_EQ(rest.substr(rest.size() - 23), Line("        12:34:56.78   "));
}

TEST_F(SerialPortTest, SendCommandSendsTheDatagramFirstAndSchreibenTheLineFirst)
{
    Open7();
    SendToReceiver();
    std::string serialSeenAtDatagram;
    std::chrono::milliseconds wait(300);
    form->NMUDP1->OnDataSend = [&](QObject*) { serialSeenAtDatagram = com7.Read(1, wait); };

    form->SendCommand("K    3\r");
    EXPECT_EQ(serialSeenAtDatagram, "") << "the datagram leaves before the serial write";
    EXPECT_EQ(com7.ReadAvailable(), "K    3\r");

    wait = std::chrono::seconds(5);
    form->Button1->click();
    EXPECT_EQ(serialSeenAtDatagram, " ") << "the line is on the serial port before the datagram";
    EXPECT_EQ(com7.ReadAvailable(), kAllDigits.substr(1));
}

TEST_F(SerialPortTest, EachRouteGoesOnWhateverTheOtherDoes)
{
    Open7();
    SendToReceiver();
    form->IPE->setText("0.0.0.0");
    form->Button2->click();
    EXPECT_EQ(com7.Read(23), Line("          :  .  .     "));
    EXPECT_EQ(form->Daten->text(), "Null Remote Address");
    form->SendCommand("K    1\r");
    EXPECT_EQ(com7.Read(7), "K    1\r") << "the serial write still follows";

    // The board stops taking bytes: every serial write of Actual Time at 2400 times out, and
    // every tick's datagram still goes. Each route's trouble shows in its own place.
    form->IPE->setText("127.0.0.1");
    com7.StopReading();
    form->ActualTime->click();
    ASSERT_TRUE(WaitUntil([&] { return form->Channel().LastError() == "Timeout"; }, 10s));
    receiver.Drain();
    QElapsedTimer elapsed;
    elapsed.start();
    const int from = ticks;
    ASSERT_TRUE(TimerTicks(30));
    const int ticked = ticks - from;
    const std::size_t datagrams = receiver.Drain().size();
    std::cout << "stalled line at 2400 baud: " << datagrams << " datagrams, 0 serial lines, for "
              << ticked << " ticks in " << elapsed.elapsed() << " ms\n";
    EXPECT_GE(datagrams + 1, static_cast<std::size_t>(ticked));
    EXPECT_EQ(form->Schnittstelle->text(), "Timeout");
    EXPECT_EQ(form->Daten->text().toStdString(), Line("   .    12:34:56.70   "));
    EXPECT_TRUE(desktop.messages.empty());
}

// A name service that takes `delay` to answer 127.0.0.1, or to fail; it counts its answers.
struct SlowNameService {
    std::chrono::milliseconds delay;
    bool finds;
    std::shared_ptr<std::atomic<int>> asked = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::atomic<int>> answered = std::make_shared<std::atomic<int>>(0);

    HostLookup::Resolver Resolver() const
    {
        return [delay = delay, finds = finds, asked = asked, answered = answered](const std::string&) {
            ++*asked;
            std::this_thread::sleep_for(delay); // the name service's own time, not a wait of ours
            ++*answered;
            return finds ? std::optional(Ipv4Address{{127, 0, 0, 1}}) : std::optional<Ipv4Address>();
        };
    }
};

TEST_F(SerialPortTest, AHostNameNeverSlowsTheSerialLine)
{
    // Beside the window under test a second one sends to 127.0.0.1 at the same rate in the same
    // event loop: the serial lines of the two compare under whatever load the machine has.
    TForm1 reference(desktop, ports.Names());
    UdpReceiver atReference;
    Choose(reference.Port, "COM10");
    Choose(reference.Baud, "19200");
    reference.SendUDPCB->click();
    reference.PortE->setText(QString::number(atReference.Port()));
    Open7();
    Choose(form->Baud, "19200");
    SendToReceiver();

    int round = 0;
    for (const SlowNameService& service : {SlowNameService{50ms, true}, SlowNameService{2s, false}}) {
        form->NMUDP1->SetResolver(service.Resolver());
        form->IPE->setText(QStringLiteral("board%1.example").arg(++round));
        form->ActualTime->click();
        reference.ActualTime->click();
        std::size_t lines = 0;
        std::size_t referenceLines = 0;
        const auto count = [](const std::string& bytes) {
            return static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\r'));
        };
        EXPECT_TRUE(WaitUntil([&] {
            lines += count(com7.Take());
            referenceLines += count(com10.Take());
            return referenceLines >= 230 && *service.answered > 0;
        }, 20s));
        form->ActualTime->click();
        reference.ActualTime->click();
        std::cout << "name service taking " << service.delay.count() << " ms to "
                  << (service.finds ? "answer" : "fail") << ": " << lines << " serial lines and "
                  << receiver.Drain().size() << " datagrams, against " << referenceLines
                  << " serial lines and " << atReference.Drain().size() << " datagrams to 127.0.0.1\n";
        EXPECT_GE(lines * 100, referenceLines * 95);
        if (service.finds) {
            EXPECT_EQ(*service.asked, 1) << "a name found is looked up once";
        }
        com7.ReadAvailable();
        com10.ReadAvailable();
    }
}

TEST_F(SerialPortTest, FailedOpenShowsTheReasonTwice)
{
    ports.Link(9, ports.Path() + "/gone");
    Choose(form->Port, "COM9");
    EXPECT_FALSE(form->Channel().ok());
    const std::string reason = form->Channel().LastError();
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(form->Schnittstelle->text().toStdString(), reason);
    ASSERT_EQ(desktop.messages.size(), 1u);
    EXPECT_EQ(desktop.messages[0].title, "Marq 4 Testprogramm");
    EXPECT_EQ(desktop.messages[0].text.toStdString(), "Could not open Comport:" + reason);
    EXPECT_EQ(form->Port->currentText(), "COM9") << "the choice stays";

    // Text after "COM" that is no number means port 0, which does not exist.
    Choose(form->Port, "COMx");
    EXPECT_EQ(form->Channel().Port(), 0);
    EXPECT_EQ(desktop.messages.size(), 2u);
}

TEST_F(SerialPortTest, NoneClosesAndKeepsTheStatus)
{
    Open7();
    Choose(form->Port, "none");
    EXPECT_FALSE(form->Channel().ok());
    EXPECT_EQ(form->Schnittstelle->text(), "COM7 OK!");
    form->Button1->click();
    EXPECT_EQ(com7.ReadAvailable(), "");

    // Choosing the same port again reopens it.
    Open7();
    Open7();
    form->Button1->click();
    EXPECT_EQ(com7.Read(23), kAllDigits);
}

// A pseudo-terminal always keeps 8 data bits, and the C library reports the difference as a
// failure; a UART takes 7. This system call layer hands the settings to the device as a UART's
// driver would take them and remembers what the window asked for.
class UartLikeSystem : public LinuxSystem {
public:
    using LinuxSystem::LinuxSystem;
    int SetAttributes(int fd, const termios& attributes) override
    {
        lastFlags = attributes.c_cflag;
        return ::ioctl(fd, TCSETS, &attributes) < 0 ? -errno : 0;
    }
    tcflag_t lastFlags = 0;
};

TEST_F(SerialPortTest, KappaFormatReachesTheLine)
{
    auto system = std::make_shared<UartLikeSystem>(ports.Names());
    form->Channel().SetSystem(system);
    Open7();
    EXPECT_EQ(system->lastFlags & (CSIZE | CSTOPB | PARENB), CS8);
    form->KappaMode->click();
    EXPECT_EQ(system->lastFlags & (CSIZE | CSTOPB | PARENB), CS7 | CSTOPB) << "7-N-2";
    EXPECT_TRUE(com7.TwoStopBits());
    EXPECT_TRUE(form->Channel().ok()) << "the port stays open";
    form->KappaMode->click();
    EXPECT_EQ(system->lastFlags & (CSIZE | CSTOPB | PARENB), CS8);
    EXPECT_FALSE(com7.TwoStopBits());

    // Ticked while closed, the format applies at the next open.
    Choose(form->Port, "none");
    system->lastFlags = 0;
    form->KappaMode->click();
    EXPECT_EQ(system->lastFlags, 0u) << "nothing reaches a closed port";
    Choose(form->Port, "COM10");
    EXPECT_EQ(system->lastFlags & (CSIZE | CSTOPB | PARENB), CS7 | CSTOPB);
    EXPECT_TRUE(com10.TwoStopBits());
    EXPECT_TRUE(desktop.messages.empty());
}

TEST_F(SerialPortTest, BaudChangePausesAndResumesTheTimer)
{
    Open7();
    form->Dauertest->click();
    ASSERT_TRUE(form->Timer1->isActive());
    form->Baud->setCurrentIndex(2);
    emit form->Baud->activated(2);
    EXPECT_TRUE(form->Channel().ok());
    EXPECT_EQ(form->Channel().Baud(), 9600);
    EXPECT_TRUE(form->Timer1->isActive());
    EXPECT_EQ(form->Timer1->interval(), 1000) << "the interval stays";

    // When the reopen fails the timer stays stopped and the reason shows, without a box.
    QFile::remove(QString::fromStdString(ports.Path()) + "/COM7");
    form->Baud->setCurrentIndex(1);
    emit form->Baud->activated(1);
    EXPECT_FALSE(form->Channel().ok());
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_EQ(form->Dauertest->text(), "Contious test on") << "a click starts it again";
    EXPECT_EQ(form->Schnittstelle->text().toStdString(), form->Channel().LastError());
    EXPECT_TRUE(desktop.messages.empty());
}

// Gives a device node a group that the user is not in, if it has none such yet: root may give
// any, another user only the node's own.
bool GiveForeignGroup(const std::string& path)
{
    std::vector<gid_t> ours(static_cast<std::size_t>(std::max(0, ::getgroups(0, nullptr))));
    ours.resize(static_cast<std::size_t>(std::max(0, ::getgroups(int(ours.size()), ours.data()))));
    ours.push_back(::getegid());
    const auto foreign = [&](gid_t group) {
        return std::find(ours.begin(), ours.end(), group) == ours.end();
    };
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return false;
    if (foreign(status.st_gid))
        return true;
    gid_t group = 65534;
    while (!foreign(group))
        --group;
    return ::chown(path.c_str(), static_cast<uid_t>(-1), group) == 0;
}

// Counts the opens and closes that reach the system, and refuses opens with `refusal` while it
// is set: as root, a pseudo-terminal cannot be made to refuse.
class GatekeeperSystem : public LinuxSystem {
public:
    using LinuxSystem::LinuxSystem;
    int Open(const std::string& path) override
    {
        ++opens;
        return refusal ? -refusal : LinuxSystem::Open(path);
    }
    int Close(int fd) override
    {
        ++closes;
        return LinuxSystem::Close(fd);
    }
    int refusal = 0;
    int opens = 0;
    int closes = 0;
};

TEST_F(SerialPortTest, ListFollowsTheDevicesWhileTheOpenPortStaysAsItIs)
{
    auto system = std::make_shared<GatekeeperSystem>(ports.Names());
    form->Channel().SetSystem(system);
    Open7();
    const auto listed = [this](const char* name) { return form->Port->findText(name) > 0; };

    // A device that comes and goes while the list is closed.
    VirtualComPort com12(ports, 12);
    ASSERT_TRUE(WaitUntil([&] { return listed("COM12"); }));
    EXPECT_LT(form->Port->findText("COM12"), form->Port->findText("COM2")) << "sorted as text";
    const QVariant description = form->Port->itemData(form->Port->findText("COM12"), Qt::ToolTipRole);
    EXPECT_TRUE(description.toString().contains("/dev/pts/")) << "with its description";
    QFile::remove(QString::fromStdString(ports.Path()) + "/COM12");
    EXPECT_TRUE(WaitUntil([&] { return !listed("COM12"); }));

    // The whole ports directory goes, the open port's link with it: its entry stays chosen while
    // the port is open. A ports directory made again is watched again.
    std::filesystem::remove_all(ports.Path());
    EXPECT_TRUE(WaitUntil([&] { return !listed("COM10"); }));
    EXPECT_EQ(form->Port->currentText().toStdString(), "COM7");
    std::filesystem::create_directories(ports.Path());
    ports.Link(7, ports.Path() + "/gone");
    VirtualComPort com14(ports, 14);
    EXPECT_TRUE(WaitUntil([&] { return listed("COM14"); }));
    EXPECT_EQ(form->Port->currentText().toStdString(), "COM7");

    EXPECT_TRUE(form->Channel().ok());
    EXPECT_EQ(form->Schnittstelle->text(), "COM7 OK!");
    EXPECT_EQ(system->opens, 1);
    EXPECT_EQ(system->closes, 0);
    EXPECT_EQ(com7.ReadAvailable(), "") << "refreshing sends nothing";
    EXPECT_TRUE(desktop.messages.empty());

    // The device goes for good and the port closes: the status says why as it closes, and the
    // list keeps the entry no longer. Opening the list brings it up to date at once.
    com7.Close();
    ASSERT_TRUE(WaitUntil([&] { return !form->Channel().ok(); }));
    EXPECT_EQ(form->Schnittstelle->text().toStdString(), std::strerror(EIO));
    VirtualComPort com13(ports, 13);
    form->Port->showPopup();
    EXPECT_TRUE(listed("COM13"));
    EXPECT_FALSE(listed("COM7"));
    EXPECT_EQ(form->Port->currentIndex(), 0);
    form->Port->hidePopup();
    form->Button2->click();
    EXPECT_EQ(form->Schnittstelle->text().toStdString(), std::strerror(EIO));
    EXPECT_TRUE(desktop.messages.empty());
}

TEST_F(SerialPortTest, RefusedOpenNamesTheCureInTheStatusToolTip)
{
    auto system = std::make_shared<GatekeeperSystem>(ports.Names());
    form->Channel().SetSystem(system);
    const QString hint = "Status of interface";
    const QString cure = "sudo usermod -aG dialout $USER";
    // COM7's node belongs to a group the user is not in.
    const std::string node = std::filesystem::canonical(ports.Path() + "/COM7");
    ASSERT_TRUE(GiveForeignGroup(node)) << "only root may give " << node << " another group";

    system->refusal = EACCES;
    Choose(form->Port, "COM7");
    EXPECT_EQ(form->Schnittstelle->text().toStdString(), std::strerror(EACCES)) << "as ever";
    EXPECT_EQ(desktop.messages.size(), 1u);
    EXPECT_TRUE(form->Schnittstelle->toolTip().startsWith(hint + "\n"));
    EXPECT_TRUE(form->Schnittstelle->toolTip().contains(cure));

    // Another reason keeps the plain hint; a refused reopen after a rate change names the cure.
    system->refusal = EBUSY;
    Choose(form->Port, "COM7");
    EXPECT_EQ(form->Schnittstelle->text().toStdString(), std::strerror(EBUSY));
    EXPECT_TRUE(form->Schnittstelle->toolTip().startsWith(hint));
    EXPECT_FALSE(form->Schnittstelle->toolTip().contains(cure));
    system->refusal = EACCES;
    emit form->Baud->activated(2);
    EXPECT_TRUE(form->Schnittstelle->toolTip().contains(cure));

    // A user in the node's group was refused for another reason: the group is no cure.
    ASSERT_EQ(::chown(node.c_str(), static_cast<uid_t>(-1), ::getegid()), 0);
    Choose(form->Port, "COM7");
    EXPECT_EQ(form->Schnittstelle->text().toStdString(), std::strerror(EACCES));
    EXPECT_EQ(form->Schnittstelle->toolTip(), hint);

    system->refusal = 0;
    Choose(form->Port, "COM7");
    EXPECT_EQ(form->Schnittstelle->text(), "COM7 OK!");
    EXPECT_EQ(form->Schnittstelle->toolTip(), hint);
}

} // namespace
