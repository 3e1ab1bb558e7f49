#pragma once
// The board's serial input: the serial channel opened on a line, its string and display-line
// events handed to the board. A board makes no sound, so the channel's beeps stay silent.

#include "BoardInput.h"
#include "lang/Closure.h"
#include "os/ComNames.h"

#include <QTimer>
#include <memory>
#include <string>

class TNexComThread;

namespace board {

class SerialRoute {
public:
    // `device` is "COMn" or a path. Throws Exception with the channel's message when the line
    // does not open.
    SerialRoute(BoardInput& input, const ComNames& names, const std::string& device, int baud, bool kappa);
    ~SerialRoute();

    bool Open() const;
    std::string LastError() const;

    // Raised once when the line closes under the board (an adapter pulled out), with the
    // channel's message.
    Closure<const std::string&> OnLost;

private:
    std::unique_ptr<TNexComThread> channel_;
    QTimer watch_;
};

} // namespace board
