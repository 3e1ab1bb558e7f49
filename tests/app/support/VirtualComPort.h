#pragma once
// A pseudo-terminal whose slave side is registered as COM<number> in a ports directory, read
// while the window in this thread goes on running.

#include "os/linux/PseudoTerminal.h"
#include "os/linux/UniqueFd.h"
#include "support/PortsDirectory.h"

#include <QString>

#include <chrono>
#include <string>

class VirtualComPort {
public:
    // A link as the user makes one, or as the virtual board does, with its marker locked beside
    // the link while this object lives: the window takes the board's new line for the one gone.
    enum class Link { User, Board };
    VirtualComPort(const PortsDirectory& directory, int number, Link link = Link::User);

    QString ComName() const { return QStringLiteral("COM%1").arg(number_); }
    // Waits, processing events, until `count` bytes have come out of the port or the time is up.
    std::string Read(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5));
    // Whatever comes out of the port until it has been quiet for `quiet`.
    std::string ReadAvailable(std::chrono::milliseconds quiet = std::chrono::milliseconds(100));
    // Whatever has come out of the port so far, without waiting.
    std::string Take();
    // The board stops taking bytes: the line's queue towards it is filled up, so that the
    // port's writes can only time out.
    void StopReading();
    // The line settings the port's user applied.
    unsigned CharacterSize() const;
    bool TwoStopBits() const;
    // Makes the device vanish, as an unplugged adapter does.
    void CloseMaster() { line_.CloseMaster(); }

private:
    int number_;
    PseudoTerminal line_;
    UniqueFd board_;
};
