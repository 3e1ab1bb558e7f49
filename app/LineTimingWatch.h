#pragma once
// What the test window's line really did: when each line's write started on the serial line
// and how long it held the window, against the ticks of the repeating test that were due. A
// scripted run ends with its summary on standard output; the "Data:" label's tool tip shows it
// in the window.

#include "protocol/LineTiming.h"

#include <QElapsedTimer>
#include <QObject>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TForm1;

class LineTimingWatch : public QObject {
    Q_OBJECT
public:
    // Made while the window's port is closed: the channel's writes are timed from its next open.
    explicit LineTimingWatch(TForm1& form);
    ~LineTimingWatch() override;

    // One line: lines sent, ticks due, late and dropped ticks, line-start spacing, longest write,
    // and a format whose line cannot fit its tick.
    std::string Summary();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::int64_t NowUs() const { return clock_.nsecsElapsed() / 1000; }
    // A test button, a rate or the End button was used: the repeating test may have started,
    // restarted with a new phase, or stopped.
    void TestChanged(bool mayStart);
    // The serial line started a write at `atUs` (since the watch began), after holding the
    // window for `heldUs`; `lineCharacters` is 0 for a command.
    void WriteStarted(std::int64_t atUs, std::int64_t heldUs, int lineCharacters);
    std::string FormatName() const;
    int FrameBits() const;

    TForm1& form_;
    QElapsedTimer clock_;
    protocol::LineTimingInput run_;
    bool testRunning_ = false;
    std::size_t serialLines_ = 0;
    std::vector<std::int64_t> serialStarts_;
    std::size_t datagrams_ = 0; // lines and commands, counted when no serial line was used
    std::vector<std::int64_t> datagramStarts_;
};
