#include "app/Replay.h"

#include "net/NMUDP.h"
#include "serial/NexCom.h"

#include <algorithm>
#include <cmath>

Replay::Replay(std::vector<protocol::RecordedText> entries, TNexComThread* channel, TNMUDP* udp, QObject* parent)
    : QObject(parent), entries_(std::move(entries)), channel_(channel), udp_(udp)
{
    // Each entry is due its recorded time after the first. A recording appended to across
    // sessions starts its times again: a later session follows the one before at once.
    double previous = 0;
    double shift = 0;
    for (const protocol::RecordedText& entry : entries_) {
        if (!dueMs_.empty() && entry.seconds + shift < previous)
            shift = previous - entry.seconds;
        previous = entry.seconds + shift;
        dueMs_.push_back((previous - entries_.front().seconds) * 1000.0);
    }
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &Replay::SendDue);
}

void Replay::Start()
{
    next_ = 0;
    sent_ = 0;
    clock_.start();
    ScheduleNext();
}

// Due times count from the start, so the spacing stays as recorded however long a send took.
void Replay::ScheduleNext()
{
    if (next_ == entries_.size()) {
        emit Finished();
        return;
    }
    const double dueMs = dueMs_[next_];
    const double nowMs = static_cast<double>(clock_.nsecsElapsed()) / 1e6;
    timer_.start(static_cast<int>(std::max(0.0, std::round(dueMs - nowMs))));
}

void Replay::SendDue()
{
    const std::string& bytes = entries_[next_].bytes;
    bool out = true;
    if (udp_) {
        try {
            udp_->SendDatagram(bytes.data(), static_cast<int>(bytes.size()));
        } catch (const Exception& error) {
            out = false;
            if (error_.empty())
                error_ = error.Message();
        }
    }
    if (channel_) {
        try {
            channel_->SendText(bytes);
        } catch (const std::exception&) {
            out = false;
            if (error_.empty())
                error_ = channel_->LastError();
        }
    }
    if (out)
        ++sent_;
    ++next_;
    ScheduleNext();
}
