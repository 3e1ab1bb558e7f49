// What leaves the window for a display line or a command over UDP, and what Daten shows.
#include "WindowFixture.h"

#include "net/NMUDP.h"

#include <QTest>

#include <iostream>

namespace {

class LineOutputTest : public WindowTest {
protected:
    LineOutputTest() { SendToReceiver(); }

    // One Actual Time line from the running timer, at 9600 baud so that the hundredths show.
    // A slow machine may tick more than once before the timer stops; those lines are dropped
    // so that the next call sees only lines made after its own clicks.
    std::string RunningTimeLine()
    {
        form->Baud->setCurrentIndex(2);
        Click(form->ActualTime);
        const std::string line = NextDatagram();
        form->Timer1->stop();
        receiver.Drain();
        return line;
    }
};

TEST_F(LineOutputTest, SingleShotButtonsInBothModes)
{
    Click(form->Button1);
    EXPECT_EQ(NextDatagram(), Line("        88:88:88.888  "));
    Click(form->Button2);
    EXPECT_EQ(NextDatagram(), Line("          :  .  .     "));

    Click(form->Lyra);
    Click(form->Button1);
    EXPECT_EQ(NextDatagram(), Line("        88:88:88:888  "));
    Click(form->Button2);
    EXPECT_EQ(NextDatagram(), Line("          :  .  .     "));
    EXPECT_EQ(form->Daten->text().toStdString(), Line("          :  .  .     "));
}

// What each option does, and in which order, is the display line's (display_line_options_test);
// here each control reaches its own option, whichever button sends the line.
TEST_F(LineOutputTest, EachOptionControlReachesItsOption)
{
    EXPECT_EQ(RunningTimeLine(), Line("   .    12:34:56.78   "));
    Click(form->RotateRight);
    EXPECT_EQ(RunningTimeLine(), Line("        78:12:34.56   "));
    Click(form->Lyra);
    Click(form->Button2);
    EXPECT_EQ(NextDatagram(), Line("          :  .  :     "));
    Click(form->Lyra);
    Click(form->RotateRight);

    Click(form->RemoveDecPtCB);
    EXPECT_EQ(RunningTimeLine(), Line("   .    12:34:56 78   "));
    Click(form->RemoveDPCB);
    EXPECT_EQ(RunningTimeLine(), Line("   .    12 34 56 78   "));
    Click(form->RemoveDecPtCB);
    Type(form->BestNr, "1:2");
    Click(form->SendData);
    EXPECT_EQ(NextDatagram(), Line("1 2C            .     "));
    Click(form->RemoveDPCB);

    ASSERT_EQ(form->Address->count(), 29);
    Choose(form->Address, "B");
    Click(form->Button1);
    const std::string addressed = NextDatagram();
    EXPECT_EQ(addressed, "B" + Line("        88:88:88.888  "));
    EXPECT_EQ(form->data, addressed);
    Choose(form->Address, "]");
    Click(form->Button2);
    EXPECT_EQ(NextDatagram(), "]" + Line("          :  .  .     "));
    Choose(form->Address, "NONE");
    Click(form->Button2);
    EXPECT_EQ(NextDatagram(), Line("          :  .  .     "));
}

TEST_F(LineOutputTest, PortOutOfRangeIsSaidAndNoNumberMeans51810)
{
    // 70000 cut to sixteen bits is 4464: nothing may arrive there, nor anywhere else.
    UdpReceiver at4464(4464);
    for (const QString& text : {QStringLiteral("0"), QStringLiteral("-1"), QStringLiteral("70000")}) {
        form->PortE->setText(text);
        Click(form->Button1);
        EXPECT_EQ(form->Daten->text(), "Port must be 1-65535") << text.toStdString();
    }
    const std::size_t cut = at4464.Bound() ? at4464.Drain().size() : 0;
    std::cout << "port 70000: " << cut << " datagrams at port 4464, \"Data:\" shows \""
              << form->Daten->text().toStdString() << "\"\n";
    EXPECT_EQ(cut, 0u);
    EXPECT_TRUE(receiver.Drain().empty());

    UdpReceiver fallback(51810);
    if (!fallback.Bound())
        GTEST_SKIP() << "port 51810 is in use on this machine";
    for (const QString& text : {QStringLiteral("abc"), QString()}) {
        form->PortE->setText(text);
        Click(form->Button1);
        EXPECT_EQ(fallback.ReceiveRunningEvents().value_or("(nothing)"), Line("        88:88:88.888  "));
    }
    EXPECT_TRUE(receiver.Drain().empty());
}

TEST_F(LineOutputTest, WithoutPortAndUdpOnlyDatenChanges)
{
    Click(form->SendUDPCB);
    ASSERT_FALSE(form->SendUDPCB->isChecked());
    EXPECT_EQ(form->Daten->text(), "None");
    Click(form->Button1);
    EXPECT_EQ(form->Daten->text().toStdString(), Line("        88:88:88.888  "));
    EXPECT_FALSE(receiver.ReceiveRunningEvents(std::chrono::milliseconds(200)));
}

TEST_F(LineOutputTest, DatagramFailuresShowInDatenAndStopTheEcho)
{
    form->IPE->setText("0.0.0.0");
    Click(form->Button1);
    EXPECT_EQ(form->Daten->text(), "Null Remote Address");
    EXPECT_EQ(form->data, Line("        88:88:88.888  "));

    form->NMUDP1->SetResolver([](const std::string&) { return std::optional<Ipv4Address>(); });
    form->IPE->setText("board.invalid");
    Click(form->Button2);
    EXPECT_EQ(form->Daten->text(), "Host Lookup Pending") << "no line waits for a name service";
    EXPECT_TRUE(WaitUntil([&] {
        Click(form->Button2);
        return form->Daten->text() == "Host Lookup Canceled";
    }));

    form->IPE->setText("127.0.0.1");
    form->SendCommand("");
    EXPECT_EQ(form->Daten->text(), "Invalid buffer");
    EXPECT_TRUE(receiver.Drain().empty());
    EXPECT_TRUE(desktop.messages.empty());
}

TEST_F(LineOutputTest, CommandsLeaveUntransformedAndWithoutEcho)
{
    Choose(form->Address, "B");
    Click(form->RotateRight);
    Click(form->RemoveDPCB);
    Click(form->RemoveDecPtCB);
    form->SendCommand("K    5\r");
    EXPECT_EQ(NextDatagram(), "K    5\r");
    EXPECT_EQ(form->Daten->text(), "None");
}

} // namespace
