#pragma once
// Replay of a recording: its lines and commands go out again with the spacing they arrived
// with, through the serial channel, as datagrams, or both.

#include "protocol/Recording.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <string>
#include <vector>

class TNexComThread;
class TNMUDP;

class Replay : public QObject {
    Q_OBJECT
public:
    // Either route may be missing; an open `channel` and a `udp` sender whose destination is
    // set.
    Replay(std::vector<protocol::RecordedText> entries, TNexComThread* channel, TNMUDP* udp,
           QObject* parent = nullptr);

    void Start();
    std::size_t Sent() const { return sent_; }
    std::size_t Count() const { return entries_.size(); }
    // Why an entry did not go out (the first reason); empty when all did.
    const std::string& Error() const { return error_; }

signals:
    void Finished();

private:
    void SendDue();
    void ScheduleNext();

    std::vector<protocol::RecordedText> entries_;
    std::vector<double> dueMs_; // from the start
    TNexComThread* channel_;
    TNMUDP* udp_;
    std::size_t next_ = 0;
    std::size_t sent_ = 0;
    std::string error_;
    QElapsedTimer clock_;
    QTimer timer_;
};
