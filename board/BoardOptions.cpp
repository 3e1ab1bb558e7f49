#include "BoardOptions.h"

#include "os/ComNames.h"
#include "protocol/Addresses.h"
#include "protocol/LineRates.h"
#include "protocol/TextList.h"

#include <QCommandLineParser>

#include <algorithm>

namespace board {

BoardCommandLine ParseBoardOptions(const QStringList& arguments)
{
    const BoardOptions defaults;
    const QString listen = QString::fromStdString(defaults.udpHost + ":" + std::to_string(defaults.udpPort));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A virtual display board: shows the lines and Lyra commands that marqtest sends, by a "
                       "serial line and by UDP. Without options it creates a virtual serial port, registers it "
                       "under the lowest free COM number and listens on UDP %1.").arg(listen));
    const QCommandLineOption help({"h", "help"}, "Show this help.");
    const QCommandLineOption version("version", "Show the program's name and version and exit.");
    const QCommandLineOption udp("udp", QStringLiteral("Listen for datagrams on HOST:PORT (default %1).").arg(listen), "HOST:PORT");
    const QCommandLineOption noUdp("no-udp", "Do not listen for datagrams.");
    const QCommandLineOption com("com", "Register the virtual line as COMn (default: the lowest free number).", "n");
    const QCommandLineOption device("device", "Listen on a real serial device instead of a virtual line.", "PATH");
    const QCommandLineOption port("port", "Listen on the real port COMn instead of a virtual line.", "COMn");
    const std::vector<std::string> rates = protocol::LineRateTexts();
    std::vector<std::string> ratesWithDefault = rates;
    ratesWithDefault.front() += " (default)";
    const QCommandLineOption baud("baud", QString::fromStdString("Line speed: " + protocol::JoinList(ratesWithDefault) + "."), "rate");
    const QCommandLineOption kappa("kappa", "Kappa line format 7-N-2 instead of 8-N-1.");
    const std::string addresses = std::string{protocol::kFirstDecodedAddress} + " to " + protocol::kLastDecodedAddress;
    const QCommandLineOption address("address", QString::fromStdString("Show only unaddressed lines and those for this letter (" + addresses + ")."), "X");
    const QCommandLineOption headless("headless", "Draw the board as text in the terminal instead of a window.");
    const QCommandLineOption print("print", "Write every line and command as one JSON object per line on standard output.");
    const QCommandLineOption portFile("port-file", "Write the virtual line's COM name to FILE once it is ready.", "FILE");
    parser.addOptions({help, version, udp, noUdp, com, device, port, baud, kappa, address, headless, print, portFile});

    if (!parser.parse(arguments))
        return OptionError{parser.errorText().toStdString()};
    if (!parser.positionalArguments().isEmpty())
        return OptionError{"Unexpected argument: " + parser.positionalArguments().first().toStdString()};
    if (parser.isSet(help)) {
        // Parsed before an application object exists, so the parser cannot name the program.
        QString text = parser.helpText();
        text.replace("<executable_name>", "marqboard");
        return UsageText{text.toStdString()};
    }
    if (parser.isSet(version))
        return VersionRequest{};

    BoardOptions options;
    if (parser.isSet(udp)) {
        const auto endpoint = SplitEndpoint(parser.value(udp).toStdString());
        if (!endpoint)
            return OptionError{"--udp wants HOST:PORT with a port from 0 to 65535, not \"" +
                               parser.value(udp).toStdString() + "\""};
        options.udpHost = endpoint->host;
        options.udpPort = endpoint->port;
    }
    options.udp = !parser.isSet(noUdp);

    const std::string lastCom = std::to_string(ComNames::kLastNumber);
    if (parser.isSet(com)) {
        bool ok = false;
        const int n = parser.value(com).toInt(&ok);
        if (!ok || n < 1 || n > ComNames::kLastNumber)
            return OptionError{"--com wants a number from 1 to " + lastCom};
        options.com = n;
    }
    if (parser.isSet(device) && parser.isSet(port))
        return OptionError{"--device and --port both name a line; give one"};
    if (parser.isSet(device)) {
        options.device = parser.value(device).toStdString();
        if (options.device.empty() || options.device.front() != '/')
            return OptionError{"--device wants a path such as /dev/ttyUSB0"};
    }
    if (parser.isSet(port)) {
        const std::string name = parser.value(port).toStdString();
        if (ComNames::ComNumber(name) == 0)
            return OptionError{"--port wants COM1 to COM" + lastCom + ", not \"" + name + "\""};
        options.device = name;
    }
    if (options.com && !options.device.empty())
        return OptionError{"--com names the virtual line; it has no meaning with a real one"};

    if (parser.isSet(baud)) {
        const std::string rate = parser.value(baud).toStdString();
        if (std::find(rates.begin(), rates.end(), rate) == rates.end())
            return OptionError{"--baud wants " + protocol::JoinList(rates) + ", not \"" + rate + "\""};
        options.baud = std::stoi(rate);
    }
    options.kappa = parser.isSet(kappa);

    if (parser.isSet(address)) {
        const QString letter = parser.value(address);
        if (letter.size() != 1 || !protocol::IsDecodedAddress(letter[0].toLatin1()))
            return OptionError{"--address wants one letter from " + addresses};
        options.address = letter[0].toLatin1();
    }
    options.headless = parser.isSet(headless);
    options.print = parser.isSet(print);
    options.portFile = parser.value(portFile).toStdString();
    return options;
}

} // namespace board
