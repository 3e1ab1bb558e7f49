// Brightness, time-out and clock commands from the track bars and the button.
#include "WindowFixture.h"

#include "protocol/LyraCommands.h"

#include <QTest>

namespace {

const std::string kEsc(1, '\x1b');

class LyraTest : public WindowTest {
protected:
    LyraTest() { SendToReceiver(); }

    void Key(QWidget* control, Qt::Key key)
    {
        control->setFocus();
        QTest::keyClick(control, key);
    }
};

TEST_F(LyraTest, BrightnessSendsOneCommandPerStep)
{
    EXPECT_EQ(form->BrightneswsValueL->text(), "???");
    Key(form->LyraBrightnessTB, Qt::Key_Right);
    EXPECT_EQ(NextDatagram(), "K    6\r");
    EXPECT_EQ(form->BrightneswsValueL->text(), "6");
    Key(form->LyraBrightnessTB, Qt::Key_End);
    EXPECT_EQ(NextDatagram(), "K    9\r");
    Key(form->LyraBrightnessTB, Qt::Key_End);
    EXPECT_FALSE(receiver.ReceiveRunningEvents(std::chrono::milliseconds(100))) << "no change, no command";
    Key(form->LyraBrightnessTB, Qt::Key_Home);
    EXPECT_EQ(NextDatagram(), "K    0\r");
    EXPECT_EQ(form->BrightneswsValueL->text(), "0");
    EXPECT_EQ(form->Daten->text(), "None") << "commands are not echoed";
}

TEST_F(LyraTest, TimeoutSendsTwoDigitsAndShowsSeconds)
{
    EXPECT_EQ(form->TimeoutValueL->text(), "???");
    Key(form->TimeoutTB, Qt::Key_End);
    EXPECT_EQ(NextDatagram(), kEsc + "W01899\r");
    EXPECT_EQ(form->TimeoutValueL->text(), "990 s");
    Key(form->TimeoutTB, Qt::Key_Home);
    EXPECT_EQ(NextDatagram(), kEsc + "W01800\r");
    EXPECT_EQ(form->TimeoutValueL->text(), "No Timeout");
    for (int i = 0; i < 7; ++i)
        Key(form->TimeoutTB, Qt::Key_Right);
    std::vector<std::string> steps;
    for (int i = 0; i < 7; ++i)
        steps.push_back(NextDatagram());
    EXPECT_EQ(steps.front(), kEsc + "W01801\r");
    EXPECT_EQ(steps.back(), kEsc + "W01807\r");
    EXPECT_EQ(form->TimeoutValueL->text(), "70 s");
}

TEST_F(LyraTest, SliderDragSendsEveryReportedPosition)
{
    QTest::mousePress(form->TimeoutTB, Qt::LeftButton, {}, QPoint(5, 16));
    for (int x = 5; x <= 60; x += 5)
        QTest::mouseMove(form->TimeoutTB, QPoint(x, 16));
    QTest::mouseRelease(form->TimeoutTB, Qt::LeftButton, {}, QPoint(60, 16));
    const int position = form->TimeoutTB->value();
    ASSERT_GT(position, 0);
    std::string last;
    for (const std::string& command : receiver.Drain())
        last = command;
    EXPECT_EQ(last, kEsc + "W018" + protocol::PadNumber(position, 2, '0') + "\r");
}

TEST_F(LyraTest, TimeAndDateSendsSevenRegistersFromOneReading)
{
    now = QDateTime(QDate(2026, 12, 7), QTime(9, 5, 3));
    clockReadings = 0;
    Click(form->TimeDateB);
    const char* expected[] = {"W00003", "W00105", "W00209", "W00301", "W00407", "W00512", "W00626"};
    for (const char* command : expected)
        EXPECT_EQ(NextDatagram(), kEsc + command + "\r");
    EXPECT_EQ(clockReadings, 1) << "date and time come from one reading";

    now = QDateTime(QDate(2000, 1, 1), QTime(23, 59, 59, 999));
    Click(form->TimeDateB);
    const char* newYear[] = {"W00059", "W00159", "W00223", "W00306", "W00401", "W00501", "W00600"};
    for (const char* command : newYear)
        EXPECT_EQ(NextDatagram(), kEsc + command + "\r");
}

} // namespace
