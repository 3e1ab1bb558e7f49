#include "app/FormatSweep.h"

#include "protocol/Recording.h"
#include "serial/NexCom.h"

#include <QString>
#include <QTime>

#include <cmath>

namespace {

// The line goes out again while the format is held: a board switched on or set late still
// shows it.
constexpr std::chrono::milliseconds kRepeat{500};

} // namespace

QString FormatAnnouncement(const protocol::LineFormat& format)
{
    return QStringLiteral("%1  %2 on the line: \"%3\"")
        .arg(QTime::currentTime().toString("HH:mm:ss.zzz"), QString::fromStdString(format.Name()),
             QString::fromStdString(protocol::EscapeBytes(protocol::FormatLine(format))));
}

FormatSweep::FormatSweep(TNexComThread& channel, std::chrono::milliseconds hold, QObject* parent)
    : QObject(parent), channel_(channel), hold_(hold)
{
    for (QTimer* timer : {&repeat_, &holdTimer_})
        timer->setTimerType(Qt::PreciseTimer);
    holdTimer_.setSingleShot(true);
    repeat_.setInterval(kRepeat);
    connect(&repeat_, &QTimer::timeout, this, &FormatSweep::SendLine);
    connect(&holdTimer_, &QTimer::timeout, this, &FormatSweep::Leave);
}

void FormatSweep::Start()
{
    current_ = 0;
    done_ = 0;
    error_.clear();
    Enter();
}

void FormatSweep::Enter()
{
    const protocol::LineFormat& format = formats_[current_];
    try {
        // Setting the line lets the line before it leave at the old format first.
        channel_.SetBaud(format.bitsPerSecond);
        channel_.SetKappaFrame(format.kappa);
    } catch (const std::exception&) {
        Fail();
        return;
    }
    if (!channel_.ok()) {
        Fail();
        return;
    }
    if (OnFormat)
        OnFormat(format);
    sentThisFormat_ = false;
    holdEnd_ = QDeadlineTimer(hold_, Qt::PreciseTimer);
    holdTimer_.start(hold_);
    repeat_.start();
    SendLine();
}

void FormatSweep::SendLine()
{
    const protocol::LineFormat& format = formats_[current_];
    const std::string line = protocol::FormatLine(format);
    const int frame = format.kappa ? protocol::FrameBits(7, false, 2) : protocol::FrameBits(8, false, 1);
    const auto lineMs = static_cast<qint64>(
        std::ceil(protocol::LineMs(static_cast<int>(line.size()), format.bitsPerSecond, frame)));
    // Every line must be on the line before the format changes; the first goes out in any case.
    if (sentThisFormat_ && holdEnd_.remainingTime() < lineMs)
        return;
    try {
        channel_.SendText(line);
    } catch (const std::exception&) {
        Fail();
        return;
    }
    sentThisFormat_ = true;
}

void FormatSweep::Leave()
{
    repeat_.stop();
    try {
        // The last line leaves at its own format.
        channel_.Write(nullptr, 0, true);
    } catch (const std::exception&) {
        Fail();
        return;
    }
    ++done_;
    if (++current_ == formats_.size()) {
        emit Finished();
        return;
    }
    Enter();
}

void FormatSweep::Fail()
{
    repeat_.stop();
    holdTimer_.stop();
    error_ = channel_.LastError().empty() ? "The port is closed" : channel_.LastError();
    emit Finished();
}
