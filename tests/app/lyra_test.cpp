// Brightness, time-out and clock commands from the track bars and the button.
#include "WindowFixture.h"

#include "protocol/LyraCommands.h"

#include <QTest>

namespace {

using namespace protocol;

class LyraTest : public WindowTest {
protected:
    LyraTest() { SendToReceiver(); }

    void Key(QWidget* control, Qt::Key key)
    {
        control->setFocus();
        QTest::keyClick(control, key);
    }
};

// The commands' bytes and the time-out's text are the protocol's (lyra_commands_test); here each
// bar sends the command of the position it moved to, once per step, and shows it.
TEST_F(LyraTest, EachBarStepSendsItsPositionsCommandAndShowsIt)
{
    EXPECT_EQ(form->BrightneswsValueL->text(), "???");
    Key(form->LyraBrightnessTB, Qt::Key_Right);
    EXPECT_EQ(NextDatagram(), BrightnessCommand(6));
    EXPECT_EQ(form->BrightneswsValueL->text(), "6");
    Key(form->LyraBrightnessTB, Qt::Key_End);
    EXPECT_EQ(NextDatagram(), BrightnessCommand(9));
    Key(form->LyraBrightnessTB, Qt::Key_End);
    EXPECT_FALSE(receiver.ReceiveRunningEvents(std::chrono::milliseconds(100))) << "no change, no command";
    Key(form->LyraBrightnessTB, Qt::Key_Home);
    EXPECT_EQ(NextDatagram(), BrightnessCommand(0));
    EXPECT_EQ(form->BrightneswsValueL->text(), "0");

    EXPECT_EQ(form->TimeoutValueL->text(), "???");
    Key(form->TimeoutTB, Qt::Key_End);
    EXPECT_EQ(NextDatagram(), TimeoutCommand(99));
    EXPECT_EQ(form->TimeoutValueL->text().toStdString(), TimeoutText(99));
    Key(form->TimeoutTB, Qt::Key_Home);
    EXPECT_EQ(NextDatagram(), TimeoutCommand(0));
    EXPECT_EQ(form->TimeoutValueL->text().toStdString(), TimeoutText(0));
    for (int i = 0; i < 7; ++i)
        Key(form->TimeoutTB, Qt::Key_Right);
    for (int position = 1; position <= 7; ++position)
        EXPECT_EQ(NextDatagram(), TimeoutCommand(position));
    EXPECT_EQ(form->TimeoutValueL->text().toStdString(), TimeoutText(7));
    EXPECT_EQ(form->Daten->text(), "None") << "commands are not echoed";
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
    EXPECT_EQ(last, TimeoutCommand(position));
}

TEST_F(LyraTest, TimeAndDateSendsTheClockRegistersOfOneReading)
{
    // Every field differs, so that one put in another's register shows; the last millisecond
    // of a day must not round into the next.
    const std::pair<QDateTime, DateTimeReading> readings[] = {
        {QDateTime(QDate(2026, 12, 7), QTime(9, 5, 3)), {2026, 12, 7, 9, 5, 3}},
        {QDateTime(QDate(2000, 1, 1), QTime(23, 59, 59, 999)), {2000, 1, 1, 23, 59, 59}},
    };
    for (const auto& [time, reading] : readings) {
        now = time;
        clockReadings = 0;
        Click(form->TimeDateB);
        for (const std::string& command : ClockRegisterCommands(reading))
            EXPECT_EQ(NextDatagram(), command);
        EXPECT_EQ(clockReadings, 1) << "date and time come from one reading";
    }
}

} // namespace
