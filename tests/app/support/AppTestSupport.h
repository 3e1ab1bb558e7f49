#pragma once
// Helpers for driving the test window in-process: a desktop that answers message boxes itself,
// a UDP receiver on 127.0.0.1, a pseudo-terminal mapped to a COM number, and bounded waits.

#include "app/Desktop.h"
#include "support/PortsDirectory.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

class RecordingDesktop : public Desktop {
public:
    void ShowMessage(const MessageBoxText& message) override { messages.push_back(message); }
    void Open(const QUrl& target) override { opened.push_back(target); }

    std::vector<MessageBoxText> messages;
    std::vector<QUrl> opened;
};

// Processes events until `done` holds or the time is up; returns whether it holds.
template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    QDeadlineTimer deadline(limit);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// A datagram socket bound to a free port on 127.0.0.1.
class UdpReceiver {
public:
    // Port 0: any free port. Throws when the port cannot be had.
    explicit UdpReceiver(int port = 0);
    ~UdpReceiver();
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    int Port() const { return port_; }
    // The next datagram, processing events while waiting; nothing when none came in time.
    std::optional<std::string> Next(std::chrono::milliseconds limit = std::chrono::seconds(5));
    // Every datagram already queued, without waiting.
    std::vector<std::string> Drain();

private:
    int fd_ = -1;
    int port_ = 0;
};

// A pseudo-terminal whose slave side is registered as COM<number> in a ports directory.
class VirtualComPort {
public:
    VirtualComPort(const PortsDirectory& directory, int number);
    ~VirtualComPort();
    VirtualComPort(const VirtualComPort&) = delete;
    VirtualComPort& operator=(const VirtualComPort&) = delete;

    QString ComName() const { return QStringLiteral("COM%1").arg(number_); }
    // Waits, processing events, until `count` bytes have come out of the port or the time is up.
    std::string Read(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5));
    // Whatever comes out of the port until it has been quiet for `quiet`.
    std::string ReadAvailable(std::chrono::milliseconds quiet = std::chrono::milliseconds(100));
    // The line settings the port's user applied.
    unsigned CharacterSize() const;
    bool TwoStopBits() const;
    // Makes the device vanish, as an unplugged adapter does.
    void CloseMaster();

private:
    int number_;
    int master_ = -1;
    int slave_ = -1;
};
