#pragma once
// The loopback check: with a jumper between TX and RX at the far end of the cable, every byte
// the port sends comes straight back. It sends a pattern through the serial channel at the
// line's rate and frame, reads it back through the channel's receive path, and says what came
// back: intact, changed or missing, and how long the round trip took.

#include "os/AdapterFacts.h"
#include "protocol/LoopbackPattern.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <cstddef>
#include <string>
#include <vector>

class TNexComThread;

struct LoopbackResult {
    std::string port;  // "COM5"
    std::string format; // "9600 8-N-1"
    AdapterFacts adapter;
    protocol::LoopbackCount count;
    std::vector<double> roundTripsMs; // write of a piece to its first byte back
    std::string error; // the channel's, when a write failed
    bool NothingBack() const { return error.empty() && count.intact + count.changed == 0; }
    bool Passed() const
    {
        return error.empty() && count.sent > 0 && count.intact == count.sent && count.changed == 0;
    }
};

// The report, one line each: what was checked, the adapter, the counts, the round trip, the
// verdict and the next step for each fault found.
std::vector<std::string> LoopbackReport(const LoopbackResult& result);

class LoopbackCheck : public QObject {
    Q_OBJECT
public:
    // `channel` is open at the rate and frame to check; the check borrows its receive path until
    // it has finished.
    LoopbackCheck(TNexComThread& channel, std::string port, QObject* parent = nullptr);
    ~LoopbackCheck() override;

    void Start();
    const LoopbackResult& Result() const { return result_; }

signals:
    void Finished();

private:
    void Received(const std::string& bytes);
    void SendNext();
    void Quiet();
    void Finish();
    // How long one character takes on the line, in milliseconds.
    double CharacterMs() const;

    TNexComThread& channel_;
    QPointer<TNexComThread> alive_;
    LoopbackResult result_;
    std::vector<std::string> pieces_;
    std::size_t next_ = 0;
    std::string sent_;
    std::string received_;
    std::size_t pieceExpected_ = 0;
    std::size_t pieceReceived_ = 0;
    QElapsedTimer pieceClock_;
    QTimer quiet_;
    bool settling_ = false; // waiting for the line to be quiet before the pattern
    bool finished_ = false;
};
