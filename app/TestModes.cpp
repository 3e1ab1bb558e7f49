// The single lines and the repeating test modes driven by Timer1.
#include "app/Form1.h"

#include "protocol/DisplayLine.h"
#include "protocol/LineFields.h"
#include "protocol/LineRates.h"

#include <iterator>

namespace {

constexpr int kContinuousInterval = 1000;
constexpr int kSendDataInterval = 100;

protocol::ClockReading ReadingOf(const QTime& time)
{
    return {time.hour(), time.minute(), time.second(), time.msec() / 10};
}

std::string Latin1(const QString& text)
{
    return text.toLatin1().toStdString();
}

// The repeating tests share Timer1, so they exclude each other. While it runs, the test running
// is the first here whose flag is set, or Actual Time, which has none. Each button's caption says
// what a click on it does: stop its test while it runs, start it otherwise.
struct RepeatingTest {
    bool TForm1::*flag;
    void (TForm1::*click)();
    TButton* TForm1::*button;
    const char* startCaption;
};
constexpr RepeatingTest kRepeatingTests[] = {
    {&TForm1::SendingData, &TForm1::SendDataClick, &TForm1::SendData, "Send Data on"},
    {&TForm1::ContinuousTest, &TForm1::DauertestClick, &TForm1::Dauertest, "Contious test on"},
    {nullptr, &TForm1::ActualTimeClick, &TForm1::ActualTime, "Actual time on"},
};

// The test Timer1 drives, or would drive if it ran.
const RepeatingTest& DrivenTest(const TForm1& form)
{
    for (const RepeatingTest& test : kRepeatingTests) {
        if (test.flag && form.*test.flag)
            return test;
    }
    return kRepeatingTests[std::size(kRepeatingTests) - 1];
}

// The test Timer1 drives now; none while it is stopped.
const RepeatingTest* RunningTest(const TForm1& form)
{
    return form.Timer1->isActive() ? &DrivenTest(form) : nullptr;
}

// Stops the test running, unless it is the one whose button `click` handles, through its own
// handler: it ends as a click on its button would end it (Actual Time with its last line).
void StopOtherTest(TForm1& form, void (TForm1::*click)())
{
    if (const RepeatingTest* running = RunningTest(form); running && running->click != click)
        (form.*running->click)();
}

// A test starts from a stopped timer: a flag left by a test that ended otherwise must not choose
// the lines of the one starting.
void ClearFlags(TForm1& form)
{
    form.ContinuousTest = false;
    form.SendingData = false;
}

} // namespace

bool TForm1::ZeroHundredths() const
{
    return !protocol::LineRateAt(Baud->currentIndex()).hundredths;
}

void TForm1::StopTest(bool running)
{
    Timer1->stop();
    if (!running)
        return;
    const RepeatingTest& test = DrivenTest(*this);
    (this->*test.button)->setText(test.startCaption);
    if (test.flag)
        this->*test.flag = false;
}

void TForm1::Button1Click()
{
    StopTest(Timer1->isActive());
    data = Lyra->isChecked() ? protocol::kAllDigitsLyra : protocol::kAllDigits;
    Schreiben();
}

void TForm1::Button2Click()
{
    StopTest(Timer1->isActive());
    data = protocol::kBlank;
    Schreiben();
}

void TForm1::ActualTimeClick()
{
    StopOtherTest(*this, &TForm1::ActualTimeClick);
    if (Timer1->isActive()) {
        Timer1->stop();
        ActualTime->setText("Actual time on");
        const protocol::ClockReading clock = ReadingOf(clock_().time());
        BestNr->clear();
        BestPunkte->clear();
        data = protocol::WithClock(std::string(protocol::kStoppedTimeBase), clock, ZeroHundredths());
        Schreiben();
    } else {
        ClearFlags(*this);
        Timer1->start(protocol::LineRateAt(Baud->currentIndex()).actualTimeMs);
        ActualTime->setText("Actual time off");
    }
}

void TForm1::DauertestClick()
{
    StopOtherTest(*this, &TForm1::DauertestClick);
    if (Timer1->isActive()) {
        Timer1->stop();
        ContinuousTest = false;
        Dauertest->setText("Contious test on");
    } else {
        ClearFlags(*this);
        Timer1->start(kContinuousInterval);
        ContinuousTest = true;
        Dauertest->setText("Contious test off");
    }
}

void TForm1::SendDataClick()
{
    StopOtherTest(*this, &TForm1::SendDataClick);
    if (Timer1->isActive()) {
        Timer1->stop();
        SendingData = false;
        SendData->setText("Send Data on");
    } else {
        ClearFlags(*this);
        Timer1->start(kSendDataInterval);
        SendingData = true;
        SendData->setText("Send Data off");
    }
}

void TForm1::Timer1Timer()
{
    const bool lyra = Lyra->isChecked();
    if (ContinuousTest) {
        if (++ContinuousStep > 2)
            ContinuousStep = 0;
        switch (ContinuousStep) {
        case 0: data = lyra ? protocol::kAllDigitsLyra : protocol::kAllDigits; break;
        case 1: data = lyra ? protocol::kBlank : protocol::kSeparatorsOnly; break;
        default: data = protocol::kContinuousStep2; break;
        }
    } else if (SendingData) {
        data = protocol::WithSendData(std::string(protocol::kRunningTimeBase), Latin1(BestNr->Text()),
                                      Latin1(Bestzeit->Text()), Latin1(BestPunkte->Text()));
    } else {
        const protocol::ClockReading clock = ReadingOf(clock_().time());
        data = protocol::WithStartAndPlace(
            protocol::WithClock(std::string(protocol::kRunningTimeBase), clock, ZeroHundredths()),
            Latin1(BestNr->Text()), Latin1(BestPunkte->Text()));
    }
    Schreiben();
}
