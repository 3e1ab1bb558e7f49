#include "BoardOptions.h"

#include "os/ComNames.h"
#include "protocol/Addresses.h"
#include "protocol/LineRates.h"
#include "protocol/TextList.h"

#include <QCommandLineParser>

#include <algorithm>
#include <optional>

namespace board {

namespace {

// The options marqboard takes, with their help texts.
struct OptionSet {
    explicit OptionSet(const BoardOptions& defaults);

    const QString listen;
    const std::vector<std::string> rates = protocol::LineRateTexts();
    const std::string addresses =
        std::string{protocol::kFirstDecodedAddress} + " to " + protocol::kLastDecodedAddress;
    const QCommandLineOption help{{"h", "help"}, "Show this help."};
    const QCommandLineOption version{"version", "Show the program's name and version and exit."};
    const QCommandLineOption udp;
    const QCommandLineOption noUdp{"no-udp", "Do not listen for datagrams."};
    const QCommandLineOption com{"com", "Register the virtual line as COMn (default: the lowest free number).", "n"};
    const QCommandLineOption device{"device", "Listen on a real serial device instead of a virtual line.", "PATH"};
    const QCommandLineOption port{"port", "Listen on the real port COMn instead of a virtual line.", "COMn"};
    const QCommandLineOption baud;
    const QCommandLineOption kappa{"kappa", "Kappa line format 7-N-2 instead of 8-N-1."};
    const QCommandLineOption address;
    const QCommandLineOption headless{"headless", "Draw the board as text in the terminal instead of a window."};
    const QCommandLineOption print{"print", "Write every line and command as one JSON object per line on standard output."};
    const QCommandLineOption portFile{"port-file", "Write the virtual line's COM name to FILE once it is ready.", "FILE"};
    const QCommandLineOption record{"record",
                                    "Append every line and command taken, with its arrival time, route and exact "
                                    "bytes, to FILE (for marqtest --replay).",
                                    "FILE"};
};

std::string WithDefaultMarked(std::vector<std::string> rates)
{
    rates.front() += " (default)";
    return protocol::JoinList(rates);
}

OptionSet::OptionSet(const BoardOptions& defaults)
    : listen(QString::fromStdString(defaults.udpHost + ":" + std::to_string(defaults.udpPort))),
      udp("udp", QStringLiteral("Listen for datagrams on HOST:PORT (default %1).").arg(listen), "HOST:PORT"),
      baud("baud", QString::fromStdString("Line speed: " + WithDefaultMarked(rates) + "."), "rate"),
      address("address",
              QString::fromStdString("Show only unaddressed lines and those for this letter (" + addresses + ")."),
              "X")
{
}

// Which lines the board listens on: datagrams, a virtual line or a real one.
std::optional<OptionError> ReadLines(const QCommandLineParser& parser, const OptionSet& o, BoardOptions& options)
{
    if (parser.isSet(o.udp)) {
        const auto endpoint = SplitEndpoint(parser.value(o.udp).toStdString());
        if (!endpoint)
            return OptionError{"--udp wants HOST:PORT with a port from 0 to 65535, not \"" +
                               parser.value(o.udp).toStdString() + "\""};
        options.udpHost = endpoint->host;
        options.udpPort = endpoint->port;
    }
    options.udp = !parser.isSet(o.noUdp);

    const std::string lastCom = std::to_string(ComNames::kLastNumber);
    if (parser.isSet(o.com)) {
        bool ok = false;
        const int n = parser.value(o.com).toInt(&ok);
        if (!ok || n < 1 || n > ComNames::kLastNumber)
            return OptionError{"--com wants a number from 1 to " + lastCom};
        options.com = n;
    }
    if (parser.isSet(o.device) && parser.isSet(o.port))
        return OptionError{"--device and --port both name a line; give one"};
    if (parser.isSet(o.device)) {
        options.device = parser.value(o.device).toStdString();
        if (options.device.empty() || options.device.front() != '/')
            return OptionError{"--device wants a path such as /dev/ttyUSB0"};
    }
    if (parser.isSet(o.port)) {
        const std::string name = parser.value(o.port).toStdString();
        if (ComNames::ComNumber(name) == 0)
            return OptionError{"--port wants COM1 to COM" + lastCom + ", not \"" + name + "\""};
        options.device = name;
    }
    if (options.com && !options.device.empty())
        return OptionError{"--com names the virtual line; it has no meaning with a real one"};
    return std::nullopt;
}

// How the line is read and what the board shows.
std::optional<OptionError> ReadFormat(const QCommandLineParser& parser, const OptionSet& o, BoardOptions& options)
{
    if (parser.isSet(o.baud)) {
        const std::string rate = parser.value(o.baud).toStdString();
        if (std::find(o.rates.begin(), o.rates.end(), rate) == o.rates.end())
            return OptionError{"--baud wants " + protocol::JoinList(o.rates) + ", not \"" + rate + "\""};
        options.baud = std::stoi(rate);
    }
    options.kappa = parser.isSet(o.kappa);

    if (parser.isSet(o.address)) {
        const QString letter = parser.value(o.address);
        if (letter.size() != 1 || !protocol::IsDecodedAddress(letter[0].toLatin1()))
            return OptionError{"--address wants one letter from " + o.addresses};
        options.address = letter[0].toLatin1();
    }
    options.headless = parser.isSet(o.headless);
    options.print = parser.isSet(o.print);
    options.portFile = parser.value(o.portFile).toStdString();
    options.recordFile = parser.value(o.record).toStdString();
    return std::nullopt;
}

} // namespace

BoardCommandLine ParseBoardOptions(const QStringList& arguments)
{
    const OptionSet o{BoardOptions{}};
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A virtual display board: shows the lines and Lyra commands that marqtest sends, by a "
                       "serial line and by UDP. Without options it creates a virtual serial port, registers it "
                       "under the lowest free COM number and listens on UDP %1.").arg(o.listen));
    parser.addOptions({o.help, o.version, o.udp, o.noUdp, o.com, o.device, o.port, o.baud, o.kappa,
                       o.address, o.headless, o.print, o.portFile, o.record});

    if (!parser.parse(arguments))
        return OptionError{parser.errorText().toStdString()};
    if (!parser.positionalArguments().isEmpty())
        return OptionError{"Unexpected argument: " + parser.positionalArguments().first().toStdString()};
    if (parser.isSet(o.help)) {
        // Parsed before an application object exists, so the parser cannot name the program.
        QString text = parser.helpText();
        text.replace("<executable_name>", "marqboard");
        return UsageText{text.toStdString()};
    }
    if (parser.isSet(o.version))
        return VersionRequest{};

    BoardOptions options;
    for (const auto read : {ReadLines, ReadFormat}) {
        if (std::optional<OptionError> refusal = read(parser, o, options))
            return *refusal;
    }
    return options;
}

} // namespace board
