#pragma once
// The command line of marqboard.

#include "net/UdpEndpoint.h"
#include "protocol/LineRates.h"

#include <QStringList>
#include <optional>
#include <string>
#include <variant>

namespace board {

struct BoardOptions {
    std::string udpHost = "127.0.0.1";
    int udpPort = kDefaultUdpPort;
    bool udp = true;
    std::optional<int> com;    // number to register the virtual line under
    std::string device;        // a real line instead: a path, or "COMn" for the tester's names
    int baud = protocol::kLineRates.front().bitsPerSecond;
    bool kappa = false;        // 7 data bits, 2 stop bits
    std::optional<char> address;
    bool headless = false;
    bool print = false;
    std::string portFile;      // where to write the virtual line's COM name once it is up
    std::string recordFile;    // where to append every line and command taken
};

struct UsageText {
    std::string text; // --help
};

struct VersionRequest {}; // --version

struct OptionError {
    std::string message;
};

// Arguments include the program name first, as main() gets them.
using BoardCommandLine = std::variant<BoardOptions, UsageText, VersionRequest, OptionError>;
BoardCommandLine ParseBoardOptions(const QStringList& arguments);

} // namespace board
