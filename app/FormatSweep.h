#pragma once
// The format sweep: the port steps through every rate of the window in 8-N-1 and in 7-N-2,
// holding each for a while and sending a display line that names the format, so that a board
// which understands one shows which one it is.

#include "protocol/LineFormats.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

class QString;
class TNexComThread;

// What the sweep says as a format goes on the line: the time of day, the format and its line.
QString FormatAnnouncement(const protocol::LineFormat& format);

class FormatSweep : public QObject {
    Q_OBJECT
public:
    // `channel` is open; the sweep leaves it at the last format.
    FormatSweep(TNexComThread& channel, std::chrono::milliseconds hold, QObject* parent = nullptr);

    void Start();
    // The channel's reason when a format could not be set or its line not sent; empty while
    // every format went out.
    const std::string& Error() const { return error_; }
    std::size_t FormatsSent() const { return done_; }
    std::size_t FormatCount() const { return formats_.size(); }

    // The port is set to this format now and its first line is about to leave.
    std::function<void(const protocol::LineFormat&)> OnFormat;

signals:
    void Finished();

private:
    void Enter();
    void SendLine();
    void Leave();
    void Fail();

    TNexComThread& channel_;
    std::chrono::milliseconds hold_;
    std::vector<protocol::LineFormat> formats_ = protocol::SweepFormats();
    std::size_t current_ = 0;
    std::size_t done_ = 0;
    bool sentThisFormat_ = false;
    std::string error_;
    QDeadlineTimer holdEnd_;
    QTimer repeat_;
    QTimer holdTimer_;
};
