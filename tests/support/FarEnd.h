#pragma once
// The end of a serial line that a test holds: the master of a new pseudo-terminal, whose slave
// (SlavePath) the program under test opens as its device, or a line another program holds (the
// virtual board's, a null modem's), opened by its path as a serial program opens it. Nothing
// here blocks: reads and writes wait a bounded time, running this thread's event loop meanwhile,
// so that a window or a channel living in it goes on.

#include "os/linux/PseudoTerminal.h"
#include "os/linux/UniqueFd.h"

#include <termios.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

class FarEnd {
public:
    FarEnd();
    // Raw at `speed`, as the serial driver sets a line up; std::system_error when it cannot be
    // opened.
    FarEnd(const std::string& path, speed_t speed);

    // The device the program under test opens, and a descriptor of it kept here (its settings
    // can be read, it can be locked); a pseudo-terminal's only.
    const std::string& SlavePath() const { return pty_->SlavePath(); }
    int Slave() const { return pty_->Slave(); }

    // Waits until `count` bytes have come or the time is up.
    std::string Read(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5));
    // Whatever comes until the line has been quiet for `quiet`.
    std::string ReadAvailable(std::chrono::milliseconds quiet = std::chrono::milliseconds(100));
    // Whatever has come so far, without waiting; empty once this end is closed.
    std::string Take();
    // Writes all of `bytes`; while the line is full, runs `meanwhile` and the event loop. False
    // when the line failed (errno says why) or the time is up (ETIMEDOUT).
    bool Write(std::string_view bytes, std::chrono::milliseconds limit = std::chrono::seconds(5),
               const std::function<void()>& meanwhile = {});

    // This end stops taking bytes: the queue towards it fills up until the kernel makes no more
    // room, so that the program's writes can only time out.
    void StopReading();
    // The character frame the program under test set on its device.
    unsigned CharacterSize() const;
    bool TwoStopBits() const;
    // This end goes away, as an unplugged adapter does.
    void Close();

private:
    int Fd() const { return pty_ ? pty_->Master() : line_.get(); }

    std::optional<PseudoTerminal> pty_;
    UniqueFd line_;
};
