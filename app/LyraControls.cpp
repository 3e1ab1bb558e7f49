// Brightness, display time-out and clock of a Lyra board.
#include "app/Form1.h"

#include "protocol/LyraCommands.h"

void TForm1::LyraBrightnessTBChange()
{
    const int position = LyraBrightnessTB->value();
    SendCommand(protocol::BrightnessCommand(position));
    BrightneswsValueL->SetCaption(QString::number(position));
}

void TForm1::TimeoutTBChange()
{
    const int position = TimeoutTB->value();
    SendCommand(protocol::TimeoutCommand(position));
    TimeoutValueL->SetCaption(QString::fromStdString(protocol::TimeoutText(position)));
}

void TForm1::TimeDateBClick()
{
    // Date and time from one reading, so that a click at midnight cannot mix two days.
    const QDateTime now = clock_();
    const QDate date = now.date();
    const QTime time = now.time();
    const protocol::DateTimeReading reading{date.year(), date.month(), date.day(),
                                            time.hour(), time.minute(), time.second()};
    for (const std::string& command : protocol::ClockRegisterCommands(reading))
        SendCommand(command);
}
