#include "app/LineTimingWatch.h"

#include "app/Form1.h"
#include "net/NMUDP.h"
#include "protocol/DisplayLine.h"
#include "protocol/LineFormats.h"
#include "serial/ComLine.h"

#include <QHelpEvent>
#include <QToolTip>

#include <algorithm>
#include <chrono>

namespace {

// The window's serial lines, each timed: a write starts a line once the one before it is on
// the line, so the start and the time the window waited for that are what the line did.
class TimedLine : public ComLine {
public:
    // `started` gets the bytes and how long the write held the window.
    using Started = std::function<void(std::string_view, std::int64_t)>;
    TimedLine(std::unique_ptr<ComLine> line, Started started)
        : line_(std::move(line)), started_(std::move(started))
    {
    }

    void Configure(const LineSettings& settings) override { line_->Configure(settings); }
    void SetBufferSizes(std::int32_t input, std::int32_t output) override { line_->SetBufferSizes(input, output); }
    std::optional<Failure> StartWrite(std::string_view bytes, const TTimeouts& timeouts) override
    {
        const auto begin = std::chrono::steady_clock::now();
        std::optional<Failure> error = line_->StartWrite(bytes, timeouts);
        started_(bytes, std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begin +
                                                                        std::exchange(waited_, {}))
                     .count());
        return error;
    }
    WriteOutcome WaitWrite() override
    {
        const auto begin = std::chrono::steady_clock::now();
        const WriteOutcome outcome = line_->WaitWrite();
        waited_ = std::chrono::steady_clock::now() - begin;
        return outcome;
    }
    void PurgeOutput() override { line_->PurgeOutput(); }
    void Close() override { line_->Close(); }
    int InputCount() override { return line_->InputCount(); }
    int Read(void* buffer, int count) override { return line_->Read(buffer, count); }
    TLineErrors TakeLineErrors() override { return line_->TakeLineErrors(); }
    void SetDTR() override { line_->SetDTR(); }
    TModemStatus ModemStatus() override { return line_->ModemStatus(); }
    std::uint32_t SilentEvents() const override { return line_->SilentEvents(); }
    bool StartEvents(const EventSettings& settings, EventReports reports) override
    {
        return line_->StartEvents(settings, std::move(reports));
    }
    void StopEvents() override { line_->StopEvents(); }
    bool Watching() const override { return line_->Watching(); }
    void SetEventMask(std::uint32_t mask) override { line_->SetEventMask(mask); }
    void SetEventPriority(TThreadPriority priority) override { line_->SetEventPriority(priority); }

private:
    std::unique_ptr<ComLine> line_;
    Started started_;
    std::chrono::steady_clock::duration waited_{};
};

class TimedSystem : public ComSystem {
public:
    TimedSystem(std::shared_ptr<ComSystem> system, TimedLine::Started started)
        : ComSystem(system->Names()), system_(std::move(system)), started_(std::move(started))
    {
    }
    std::unique_ptr<ComLine> OpenLine(const std::string& name) override
    {
        return std::make_unique<TimedLine>(system_->OpenLine(name), started_);
    }

private:
    std::shared_ptr<ComSystem> system_;
    TimedLine::Started started_;
};

} // namespace

LineTimingWatch::LineTimingWatch(TForm1& form) : form_(form)
{
    clock_.start();
    form.Channel().SetSystem(std::make_shared<TimedSystem>(
        ComSystem::Native(form.Channel().Names()), [this](std::string_view bytes, std::int64_t heldUs) {
            // Display lines, not Lyra commands: the ticks send lines.
            const bool line = bytes.size() >= protocol::kMinLineLength && bytes.size() <= protocol::kMaxLineLength &&
                              bytes.back() == protocol::CR;
            WriteStarted(NowUs(), heldUs, line ? static_cast<int>(bytes.size()) : 0);
        }));
    for (QAbstractButton* button : {form.ActualTime, form.Dauertest, form.SendData})
        connect(button, &QAbstractButton::clicked, this, [this] { TestChanged(true); });
    for (QAbstractButton* button : {form.Button1, form.Button2, form.End})
        connect(button, &QAbstractButton::clicked, this, [this] { TestChanged(false); });
    connect(form.Baud, &QComboBox::activated, this, [this] { TestChanged(true); });
    // Without a serial line, the datagrams tell when the lines left.
    form.NMUDP1->OnDataSend = [this, previous = form.NMUDP1->OnDataSend](QObject* sender) {
        if (previous)
            previous(sender);
        ++datagrams_;
        if (testRunning_ && form_.Timer1->isActive())
            datagramStarts_.push_back(NowUs());
    };
    form.Text2->installEventFilter(this);
}

LineTimingWatch::~LineTimingWatch() = default;

void LineTimingWatch::TestChanged(bool mayStart)
{
    const std::int64_t now = NowUs();
    if (testRunning_ && (!form_.Timer1->isActive() || mayStart)) {
        testRunning_ = false;
        run_.endUs = now;
    }
    if (mayStart && form_.Timer1->isActive()) {
        // A test (re)started: its ticks are due from now on, one interval apart.
        testRunning_ = true;
        run_.tickUs = std::int64_t{form_.Timer1->interval()} * 1000;
        run_.firstDeadlineUs = now + run_.tickUs;
        run_.endUs = now;
        serialStarts_.clear();
        datagramStarts_.clear();
    }
}

void LineTimingWatch::WriteStarted(std::int64_t atUs, std::int64_t heldUs, int lineCharacters)
{
    run_.longestWriteUs = std::max(run_.longestWriteUs, heldUs);
    if (lineCharacters == 0)
        return;
    ++serialLines_;
    run_.lineCharacters = std::max(run_.lineCharacters, lineCharacters);
    if (testRunning_ && form_.Timer1->isActive())
        serialStarts_.push_back(atUs);
}

int LineTimingWatch::FrameBits() const
{
    TNexComThread& channel = form_.Channel();
    // db4 to db8 follow each other; the default leaves the device at its 8 bits.
    const int data = channel.DataBits() == dbDefault ? 8 : static_cast<int>(channel.DataBits()) + 3;
    const bool parity = channel.Parity() != paNone && channel.Parity() != paDefault;
    return protocol::FrameBits(data, parity, channel.StopBits() == sb2 ? 2 : 1);
}

std::string LineTimingWatch::FormatName() const
{
    TNexComThread& channel = form_.Channel();
    static constexpr char kParity[] = {'N', 'N', 'O', 'E', 'M', 'S'};
    const int data = channel.DataBits() == dbDefault ? 8 : static_cast<int>(channel.DataBits()) + 3;
    const char* stop = channel.StopBits() == sb2 ? "2" : channel.StopBits() == sb1_5 ? "1.5" : "1";
    return std::to_string(channel.Baud()) + " " + std::to_string(data) + "-" + kParity[channel.Parity()] + "-" + stop;
}

std::string LineTimingWatch::Summary()
{
    protocol::LineTimingInput run = run_;
    if (testRunning_ && form_.Timer1->isActive())
        run.endUs = NowUs();
    const bool serial = serialLines_ > 0;
    run.linesSent = serial ? serialLines_ : datagrams_;
    run.startsUs = serial ? serialStarts_ : datagramStarts_;
    if (run.lineCharacters == 0)
        run.lineCharacters = static_cast<int>(protocol::kAllDigits.size());
    run.bitsPerSecond = form_.Channel().Baud();
    run.frameBits = FrameBits();
    const std::string name = FormatName();
    return protocol::LineTimingSummary(protocol::MeasureLineTiming(run), name);
}

bool LineTimingWatch::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == form_.Text2 && event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        QToolTip::showText(help->globalPos(),
                           form_.Text2->toolTip() + '\n' + QString::fromStdString(Summary()), form_.Text2);
        return true;
    }
    return QObject::eventFilter(watched, event);
}
