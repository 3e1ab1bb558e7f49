// The single lines, the three repeating modes on Timer1, and how clicks move between them.
#include "WindowFixture.h"

#include "net/NMUDP.h"

#include <algorithm>
#include <iostream>

namespace {

class TestModesTest : public WindowTest {
public:

    struct State {
        bool timer;
        bool continuous;
        bool sendData;
        friend bool operator==(const State&, const State&) = default;
    };

protected:
    TestModesTest() { SendToReceiver(); }
    State Now() const { return {form->Timer1->isActive(), form->ContinuousTest, form->SendingData}; }
};

void PrintTo(const TestModesTest::State& s, std::ostream* out);

TEST_F(TestModesTest, ActualTimeAt2400HasNoHundredths)
{
    Click(form->ActualTime);
    EXPECT_EQ(form->ActualTime->text(), "Actual time off");
    EXPECT_EQ(form->Timer1->interval(), 100);
    EXPECT_TRUE(receiver.Drain().empty()) << "nothing is sent when the mode starts";
    EXPECT_EQ(NextDatagram(), Line("   .    12:34:56.70   "));
    EXPECT_EQ(NextDatagram(), Line("   .    12:34:56.70   ")) << "one line per tick";
}

TEST_F(TestModesTest, ActualTimeIntervalFollowsTheRateAndCarriesTheFields)
{
    const int intervals[] = {100, 50, 25, 13};
    for (int index = 0; index < 4; ++index) {
        form->Baud->setCurrentIndex(index);
        Click(form->ActualTime);
        EXPECT_EQ(form->Timer1->interval(), intervals[index]);
        Click(form->ActualTime);
    }
    receiver.Drain();
    Type(form->BestNr, "42");
    Type(form->BestPunkte, "7");
    form->Baud->setCurrentIndex(3);
    Click(form->ActualTime);
    EXPECT_EQ(NextDatagram(), Line("42 .    12:34:56.78 7 "));

    // Stopping sends one last line without start number, mode and place, and empties the fields.
    Click(form->ActualTime);
    receiver.Drain();
    EXPECT_EQ(form->data, Line("        12:34:56.78   "));
    EXPECT_EQ(form->ActualTime->text(), "Actual time on");
    EXPECT_EQ(form->BestNr->Text(), "   ");
    EXPECT_EQ(form->BestPunkte->Text(), "  ");
    EXPECT_FALSE(form->Timer1->isActive());
}

TEST_F(TestModesTest, FinalActualTimeLineAt2400)
{
    Click(form->ActualTime);
    NextDatagram();
    Click(form->ActualTime);
    std::string last;
    for (const std::string& datagram : receiver.Drain())
        last = datagram;
    EXPECT_EQ(last, Line("        12:34:56.70   "));
}

TEST_F(TestModesTest, ContinuousTestCyclesAcrossStopAndRestart)
{
    Click(form->Dauertest);
    EXPECT_EQ(form->Dauertest->text(), "Contious test off");
    EXPECT_EQ(form->Timer1->interval(), 1000);
    EXPECT_EQ(NextDatagram(), Line("          :  :  .     "));
    EXPECT_EQ(NextDatagram(), "abc      1 34:56.782\r");
    Click(form->Dauertest);
    EXPECT_EQ(form->Dauertest->text(), "Contious test on");
    EXPECT_FALSE(receiver.ReceiveRunningEvents(std::chrono::milliseconds(1200))) << "stopping sends nothing";

    // Restarted, it goes on where it stopped; Lyra mode is read at every tick.
    Click(form->Lyra);
    Click(form->Dauertest);
    EXPECT_EQ(NextDatagram(), Line("        88:88:88:888  "));
    EXPECT_EQ(NextDatagram(), Line("          :  .  .     "));
}

TEST_F(TestModesTest, SendDataCopiesTypedFieldsLettersIncluded)
{
    Click(form->SendData);
    EXPECT_EQ(form->SendData->text(), "Send Data off");
    EXPECT_EQ(form->Timer1->interval(), 100);
    EXPECT_EQ(NextDatagram(), Line("   C      :  :  .     ")) << "empty fields give blanks";

    Type(form->BestNr, "A1b");
    Type(form->Bestzeit, "1x3456789");
    Type(form->BestPunkte, "Q9");
    EXPECT_TRUE(WaitUntil([&] { return NextDatagram(std::chrono::seconds(1)) == Line("A1bC    1x:34:56.789Q9"); }));
    Click(form->SendData);
    EXPECT_EQ(form->SendData->text(), "Send Data on");
    EXPECT_FALSE(form->Timer1->isActive());
}

TEST_F(TestModesTest, SwitchingModesStopsTheRunningOneFirst)
{
    Type(form->BestNr, "12");
    Click(form->ActualTime);
    ASSERT_EQ(NextDatagram(), Line("12 .    12:34:56.70   "));

    // Actual Time -> Send Data: the final clock line, emptied fields, then Send Data.
    Click(form->SendData);
    EXPECT_EQ(form->ActualTime->text(), "Actual time on");
    EXPECT_EQ(form->SendData->text(), "Send Data off");
    EXPECT_EQ((Now()), (State{true, false, true}));
    EXPECT_EQ(form->Timer1->interval(), 100);
    std::string line;
    EXPECT_TRUE(WaitUntil([&] { return (line = NextDatagram()) == Line("        12:34:56.70   "); }));
    EXPECT_EQ(NextDatagram(), Line("   C      :  :  .     "));

    // Send Data -> continuous test: nothing is sent on the way.
    Click(form->Dauertest);
    EXPECT_EQ(form->SendData->text(), "Send Data on");
    EXPECT_EQ((Now()), (State{true, true, false}));
    receiver.Drain();

    // Continuous test -> Actual Time.
    Click(form->ActualTime);
    EXPECT_EQ(form->Dauertest->text(), "Contious test on");
    EXPECT_EQ((Now()), (State{true, false, false}));
    EXPECT_EQ(form->Timer1->interval(), 100);

    // Actual Time -> continuous test sends the final clock line.
    receiver.Drain();
    Click(form->Dauertest);
    EXPECT_EQ((Now()), (State{true, true, false}));
    EXPECT_EQ(NextDatagram(), Line("        12:34:56.70   "));
}

TEST_F(TestModesTest, SingleLinesStopTheModeAndEachButtonStartsItsOwn)
{
    Click(form->SendData);
    Click(form->Button2);
    EXPECT_EQ((Now()), (State{false, false, false}));
    EXPECT_EQ(form->SendData->text(), "Send Data on") << "the caption says what a click does";
    Click(form->SendData);
    EXPECT_EQ((Now()), (State{true, false, true}));
    EXPECT_EQ(form->Timer1->interval(), 100);

    // The continuous test, all digits, then Actual Time: the clock at Actual Time's interval.
    Click(form->Dauertest);
    Click(form->Button1);
    EXPECT_EQ(form->Dauertest->text(), "Contious test on");
    receiver.Drain();
    form->Baud->setCurrentIndex(3);
    Click(form->ActualTime);
    EXPECT_EQ((Now()), (State{true, false, false}));
    EXPECT_EQ(form->Timer1->interval(), 13);
    EXPECT_EQ(form->ActualTime->text(), "Actual time off");
    ASSERT_TRUE(TimerTicks(20));
    const std::vector<std::string> sent = receiver.Drain();
    const auto clockLines = std::count(sent.begin(), sent.end(), Line("   .    12:34:56.78   "));
    std::cout << "Actual Time after the continuous test and all digits: " << clockLines
              << " clock lines of " << sent.size() << " lines\n";
    EXPECT_EQ(static_cast<std::size_t>(clockLines), sent.size());
    EXPECT_GE(sent.size(), 19u);
}

void PrintTo(const TestModesTest::State& s, std::ostream* out)
{
    *out << "{timer " << s.timer << ", continuous " << s.continuous << ", send data " << s.sendData
         << "}";
}

} // namespace
