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
    WaitUntil([] { return Threads() == 1; }); // threads of earlier tests are gone
    const std::size_t descriptors = OpenDescriptors();
    OpenOn(7, com7);
    SendToReceiver();
    form->ActualTime->click();
    std::string seen;
    ASSERT_TRUE(WaitUntil([&] { return (seen += com7.Take()).size() >= 46; }))
        << "Actual Time reaches the line before the device goes";

    com7.Close();
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
    FarEnd again;
    OpenOn(7, again);
    form->Button1->click();
    EXPECT_EQ(again.Read(23), "        88:88:88.888  \r");

    // Or another one appears under a new number.
    FarEnd other;
    OpenOn(12, other);
    form->ActualTime->click();
    std::string running;
    EXPECT_TRUE(WaitUntil([&] { return (running += other.Take()).size() >= 23; }));
    form->ActualTime->click();
    EXPECT_TRUE(desktop.messages.empty());
}

TEST_F(VanishingDevice, WhileIdleTheReasonShowsAtOnce)
{
    OpenOn(7, com7);
    SendToReceiver();
    EXPECT_EQ(form->Schnittstelle->text(), "COM7 OK!");
    com7.Close();
    // Nothing is sent: the window learns it from the port closing, not from the next line.
    const bool shown = WaitUntil(
        [&] { return form->Schnittstelle->text().toStdString() == std::strerror(EIO); }, 500ms);
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
