// The adapter is pulled while Actual Time runs: the window says so once, closes the port, keeps
// working, and a port can be opened again.
#include "LiveWindow.h"

#include <cstring>
#include <iostream>

namespace {

using namespace std::chrono_literals;

class VanishingDevice : public LiveWindow {};

TEST_F(VanishingDevice, ReportedOncePortClosedWindowUsableAndReopens)
{
    WaitForLoneThread();
    const std::size_t descriptors = OpenDescriptors();
    OpenOn(7, com7);
    SendToReceiver();
    form->ActualTime->click();
    std::string seen;
    ASSERT_TRUE(WaitUntil([&] { return (seen += TakeWaiting(com7.Master())).size() >= 46; }))
        << "Actual Time reaches the line before the device goes";

    com7.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return !form->Channel().ok(); })) << "the port ends closed";
    EXPECT_EQ(form->Channel().LastError(), std::strerror(EIO));
    EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors() == descriptors - 1; }))
        << "the device is let go; only the vanished master is missing";

    // The status says why instead of "COM7 OK!"; the test keeps running on the closed port
    // without message boxes or crash, and the datagrams go on.
    receiver.Drain();
    ASSERT_TRUE(TimerTicks(40));
    EXPECT_GE(receiver.Drain().size(), 40u);
    EXPECT_EQ(form->Schnittstelle->text().toStdString(), std::strerror(EIO));
    EXPECT_TRUE(form->Timer1->isActive());
    EXPECT_TRUE(desktop.messages.empty());
    EXPECT_FALSE(form->Channel().ok());

    // The window still answers the user.
    form->Button2->click();
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_EQ(form->Daten->text().toStdString(), std::string("          :  .  .     \r"));

    // The adapter comes back under the same number.
    PseudoTerminal again;
    OpenOn(7, again);
    form->Button1->click();
    EXPECT_EQ(again.Receive(23), "        88:88:88.888  \r");

    // Or another one appears under a new number.
    PseudoTerminal other;
    OpenOn(12, other);
    form->ActualTime->click();
    std::string running;
    EXPECT_TRUE(WaitUntil([&] { return (running += TakeWaiting(other.Master())).size() >= 23; }));
    form->ActualTime->click();
    EXPECT_TRUE(desktop.messages.empty());
}

TEST_F(VanishingDevice, WhileIdleTheReasonShowsAtOnce)
{
    OpenOn(7, com7);
    SendToReceiver();
    EXPECT_EQ(form->Schnittstelle->text(), "COM7 OK!");
    const auto pulled = std::chrono::steady_clock::now();
    com7.CloseMaster();
    // Nothing is sent: the window learns it from the port closing, not from the next line.
    const bool shown = WaitUntil(
        [&] { return form->Schnittstelle->text().toStdString() == std::strerror(EIO); }, 500ms);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - pulled);
    std::cout << "[ figures  ] the reason showed beside Interface " << took.count()
              << " ms after the device went\n";
    EXPECT_TRUE(shown) << form->Schnittstelle->text().toStdString();
    EXPECT_FALSE(form->Channel().ok());

    form->TimeDateB->click();
    EXPECT_EQ(form->Schnittstelle->text().toStdString(), std::strerror(EIO));
    EXPECT_EQ(receiver.Drain().size(), 7u) << "the Lyra clock commands still leave as datagrams";
    EXPECT_TRUE(desktop.messages.empty());

    // Choosing "none" afterwards is the user's own close: the status stays as it is.
    Choose(form->Port, "none");
    form->Button1->click();
    EXPECT_EQ(form->Schnittstelle->text().toStdString(), std::strerror(EIO));
}

} // namespace
