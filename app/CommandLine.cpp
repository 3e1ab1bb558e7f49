#include "app/CommandLine.h"

#include "app/Form1.h"
#include "net/NMUDP.h"
#include "net/UdpEndpoint.h"
#include "os/ComNames.h"
#include "os/VersionInfo.h"
#include "protocol/Addresses.h"
#include "protocol/LineRates.h"
#include "protocol/TextList.h"

#include <QCommandLineParser>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace {

const std::array<std::pair<const char*, StartOptions::Start>, 5> kStartNames = {{
    {"all-digits", StartOptions::Start::AllDigits},
    {"blank", StartOptions::Start::Blank},
    {"actual-time", StartOptions::Start::ActualTime},
    {"continuous", StartOptions::Start::Continuous},
    {"send-data", StartOptions::Start::SendData},
}};

// The longest scripted run: the window's timers count milliseconds in an int.
constexpr double kLongestRunSeconds = 1e6;

// One parser describes the options for both the help text and parsing.
struct Options {
    QCommandLineOption help{{"h", "help"}, "Show these options and exit."};
    QCommandLineOption version{"version", "Show the program's name and version and exit."};
    QCommandLineOption port{"port", "Open the serial port COMn, as choosing it in the port list.", "COMn"};
    QCommandLineOption baud{
        "baud", QString::fromStdString("Line speed: " + protocol::JoinList(protocol::LineRateTexts()) + " baud."),
        "rate"};
    QCommandLineOption kappa{"kappa", "Tick Kappa Mode (line format 7-N-2)."};
    QCommandLineOption lyra{"lyra", "Tick Lyra Mode."};
    QCommandLineOption rotate{"rotate", "Tick Rotate right."};
    QCommandLineOption removeColons{"remove-colons", "Tick Remove \":\"."};
    QCommandLineOption removePoints{"remove-points", "Tick Remove \".\"."};
    QCommandLineOption address{"address",
                               QString::fromStdString("Board address letter: " +
                                                      protocol::JoinList(protocol::AddressLetterRanges()) +
                                                      ", or " + std::string(protocol::kNoAddress) + "."),
                               "X"};
    QCommandLineOption udp{"udp", "Tick Send via UDP, to HOST:PORT.", "HOST:PORT"};
    QCommandLineOption brightness{"brightness",
                                  "Move Lyra Brightness to N (0-9), sending its command.", "N"};
    QCommandLineOption timeout{"timeout",
                               "Move Lyra Timeout to N tens of seconds (0-99), sending its command.",
                               "N"};
    QCommandLineOption start{"start",
                             "Click a button once the window is up: all-digits, blank, "
                             "actual-time, continuous or send-data.",
                             "test"};
    QCommandLineOption runFor{"for",
                              "End the program SECONDS after the window is up and the --start "
                              "test began (0: at once), for scripts: message boxes go to "
                              "standard error, and the exit status is 0 when every line and "
                              "command went out, 1 when a port could not be opened or a write "
                              "failed; the last line on standard output says what the line did.",
                              "SECONDS"};
    QCommandLineOption check{"check",
                             "Check the line on --port without the window: loopback (a jumper "
                             "between TX and RX at the far end sends every byte back; exit 0 when "
                             "all came back intact) or formats (every rate in 8-N-1 and 7-N-2, "
                             "each held for --for SECONDS, default 3, as a line naming its format).",
                             "loopback|formats"};
    QCommandLineOption replay{"replay",
                              "Send a recording made by marqboard --record again, with its "
                              "spacing, to --port, --udp or both, without the window.",
                              "FILE"};
    QCommandLineParser parser;

    Options()
    {
        parser.setApplicationDescription(
            "Marq4/Marq5/Lyra test window: drives a timing display board over a serial port, and "
            "by UDP when \"Send via UDP\" is ticked. Each option does what the same action in "
            "the window does; without options the window starts with no port open and nothing "
            "ticked.");
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser.addOptions({help, version, port, baud, kappa, lyra, rotate, removeColons,
                           removePoints, address, udp, brightness, timeout, start, runFor, check,
                           replay});
    }
};

CommandLineExit Refuse(const QString& message)
{
    return {QStringLiteral("marqtest: %1\nTry 'marqtest --help' for the options.\n").arg(message), 2};
}

// An item of the address list, in either case.
bool ValidAddress(const QString& text)
{
    const QByteArray item = text.toUpper().toLatin1();
    return item == QByteArrayView(protocol::kNoAddress) ||
           (item.size() == 1 && protocol::kAddressLetters.find(item[0]) != std::string_view::npos);
}

QPushButton* StartButton(TForm1& form, StartOptions::Start start)
{
    switch (start) {
    case StartOptions::Start::AllDigits: return form.Button1;
    case StartOptions::Start::Blank: return form.Button2;
    case StartOptions::Start::ActualTime: return form.ActualTime;
    case StartOptions::Start::Continuous: return form.Dauertest;
    case StartOptions::Start::SendData: return form.SendData;
    }
    return nullptr;
}

// The end of a scripted run stops the test first, so that no line starts as the window goes.
void EndWhenSent(TForm1& form)
{
    form.Timer1->stop();
    form.End->click();
}

// Picks an item the way the user does, so that the list's change handler runs.
void Choose(QComboBox& list, int index)
{
    list.setCurrentIndex(index);
    emit list.activated(index);
}

void Tick(QCheckBox& box)
{
    if (!box.isChecked())
        box.click();
}

// The port, its rate and the line format; the refusal's reason when one is wrong.
std::optional<QString> ReadLineOptions(const Options& o, StartOptions& options)
{
    if (o.parser.isSet(o.port)) {
        const QString port = o.parser.value(o.port).toUpper();
        if (ComNames::ComNumber(port.toStdString()) == 0)
            return QStringLiteral("--port %1: give a port as COM and its number, like COM3")
                .arg(o.parser.value(o.port));
        options.port = port;
    }
    if (o.parser.isSet(o.baud)) {
        const QString rate = o.parser.value(o.baud);
        const std::vector<std::string> rates = protocol::LineRateTexts();
        if (std::find(rates.begin(), rates.end(), rate.toStdString()) == rates.end())
            return QStringLiteral("--baud %1: the rate is one of %2")
                .arg(rate, QString::fromStdString(protocol::JoinList(rates, ", ")));
        options.baud = rate;
    }
    options.kappa = o.parser.isSet(o.kappa);
    options.lyra = o.parser.isSet(o.lyra);
    options.rotate = o.parser.isSet(o.rotate);
    options.removeColons = o.parser.isSet(o.removeColons);
    options.removePoints = o.parser.isSet(o.removePoints);
    if (o.parser.isSet(o.address)) {
        const QString address = o.parser.value(o.address);
        if (!ValidAddress(address)) {
            std::vector<std::string> items = protocol::AddressLetterRanges();
            items.emplace_back(protocol::kNoAddress);
            return QStringLiteral("--address %1: the address is one of %2")
                .arg(address, QString::fromStdString(protocol::JoinList(items)));
        }
        options.address = address.toUpper();
    }
    return std::nullopt;
}

// The datagram destination and the Lyra bars; the refusal's reason when one is wrong.
std::optional<QString> ReadUdpAndLyraOptions(const Options& o, StartOptions& options)
{
    if (o.parser.isSet(o.udp)) {
        const QString target = o.parser.value(o.udp);
        // Port 0 is no destination: every datagram to it would be refused.
        const auto endpoint = SplitEndpoint(target.toStdString());
        if (!endpoint || endpoint->port == 0)
            return QStringLiteral("--udp %1: give the destination as HOST:PORT with a port from 1 "
                                  "to 65535, like 127.0.0.1:%2")
                .arg(target)
                .arg(kDefaultUdpPort);
        options.udpHost = QString::fromStdString(endpoint->host);
        options.udpPort = QString::number(endpoint->port);
    }
    // A track-bar position: a whole number within the bar's range.
    const auto position = [&](const QCommandLineOption& option, int highest) -> std::optional<int> {
        bool isNumber = false;
        const int value = o.parser.value(option).toInt(&isNumber);
        return isNumber && value >= 0 && value <= highest ? std::optional<int>(value) : std::nullopt;
    };
    if (o.parser.isSet(o.brightness)) {
        options.brightness = position(o.brightness, 9);
        if (!options.brightness)
            return QStringLiteral("--brightness %1: the brightness is a number from 0 to 9")
                .arg(o.parser.value(o.brightness));
    }
    if (o.parser.isSet(o.timeout)) {
        options.timeout = position(o.timeout, 99);
        if (!options.timeout)
            return QStringLiteral("--timeout %1: the time-out is a number from 0 to 99")
                .arg(o.parser.value(o.timeout));
    }
    return std::nullopt;
}

// The test to start and how long to run; the refusal's reason when one is wrong.
std::optional<QString> ReadTestOptions(const Options& o, StartOptions& options)
{
    if (o.parser.isSet(o.start)) {
        const QString name = o.parser.value(o.start);
        QStringList names;
        for (const auto& [text, start] : kStartNames) {
            names << text;
            if (name == QLatin1String(text))
                options.start = start;
        }
        if (!options.start)
            return QStringLiteral("--start %1: the test is one of %2").arg(name, names.join(", "));
    }
    if (o.parser.isSet(o.runFor)) {
        bool isNumber = false;
        const double seconds = o.parser.value(o.runFor).toDouble(&isNumber);
        if (!isNumber || !(seconds >= 0 && seconds <= kLongestRunSeconds))
            return QStringLiteral("--for %1: give the seconds to run as a number from 0 to %2")
                .arg(o.parser.value(o.runFor))
                .arg(kLongestRunSeconds, 0, 'f', 0);
        options.runFor = std::chrono::milliseconds(std::llround(seconds * 1000));
    }
    return std::nullopt;
}

// A check of the line or a replay; the refusal's reason when one is wrong.
std::optional<QString> ReadLineCheckOptions(const Options& o, StartOptions& options)
{
    if (o.parser.isSet(o.check)) {
        const QString name = o.parser.value(o.check);
        if (name == QLatin1String("loopback"))
            options.check = StartOptions::Check::Loopback;
        else if (name == QLatin1String("formats"))
            options.check = StartOptions::Check::Formats;
        else
            return QStringLiteral("--check %1: the check is loopback or formats").arg(name);
        if (!options.port)
            return QStringLiteral("--check %1: give the port to check with --port COMn").arg(name);
    }
    if (o.parser.isSet(o.replay)) {
        options.replay = o.parser.value(o.replay);
        if (options.check)
            return QStringLiteral("--replay and --check: give one");
        if (!options.port && !options.udpHost)
            return QStringLiteral("--replay %1: give where to send it, --port COMn or --udp HOST:PORT")
                .arg(*options.replay);
    }
    if ((options.check || options.replay) && options.start)
        return QStringLiteral("--start is for the window; a check or a replay runs without it");
    return std::nullopt;
}

} // namespace

QString HelpText()
{
    QString text = Options().parser.helpText();
    // The parser names the program only once an application object exists.
    text.replace(0, text.indexOf(QLatin1Char('\n')), QStringLiteral("Usage: marqtest [options]"));
    return text;
}

CommandLineResult ParseCommandLine(const QStringList& arguments)
{
    Options o;
    if (!o.parser.parse(arguments))
        return Refuse(o.parser.errorText());
    if (o.parser.isSet(o.help))
        return CommandLineExit{HelpText(), 0};
    if (o.parser.isSet(o.version))
        return CommandLineExit{QString::fromStdString(VersionText("marqtest")), 0};
    if (!o.parser.positionalArguments().isEmpty())
        return Refuse(QStringLiteral("unexpected argument '%1'").arg(o.parser.positionalArguments().first()));

    StartOptions options;
    for (const auto read : {ReadLineOptions, ReadUdpAndLyraOptions, ReadTestOptions, ReadLineCheckOptions}) {
        if (const std::optional<QString> refusal = read(o, options))
            return Refuse(*refusal);
    }
    return options;
}

std::optional<QString> ApplyStartOptions(TForm1& form, const StartOptions& options)
{
    // The line format first, so that the port opens with it.
    if (options.kappa)
        Tick(*form.KappaMode);
    if (options.port) {
        const int index = form.Port->findText(*options.port);
        if (index <= 0) {
            QStringList listed;
            for (int i = 1; i < form.Port->count(); ++i)
                listed << form.Port->itemText(i);
            return QStringLiteral("--port %1: no such serial port here (present: %2)")
                .arg(*options.port, listed.isEmpty() ? QStringLiteral("none") : listed.join(", "));
        }
        Choose(*form.Port, index);
    }
    if (options.baud)
        Choose(*form.Baud, form.Baud->findText(*options.baud));
    if (options.lyra)
        Tick(*form.Lyra);
    if (options.rotate)
        Tick(*form.RotateRight);
    if (options.removeColons)
        Tick(*form.RemoveDPCB);
    if (options.removePoints)
        Tick(*form.RemoveDecPtCB);
    if (options.address)
        form.Address->setCurrentIndex(form.Address->findText(*options.address));
    if (options.udpHost) {
        form.IPE->setText(*options.udpHost);
        form.PortE->setText(*options.udpPort);
        Tick(*form.SendUDPCB);
        // A datagram for a name not yet looked up is dropped: the name service answers first.
        form.LookUpHost(kHostLookupLimit);
    }
    // Moving a track bar sends its command, as a drag to that position does.
    if (options.brightness)
        form.LyraBrightnessTB->setValue(*options.brightness);
    if (options.timeout)
        form.TimeoutTB->setValue(*options.timeout);
    if (options.start || options.runFor) {
        QTimer::singleShot(0, &form, [&form, start = options.start, runFor = options.runFor] {
            if (start)
                StartButton(form, *start)->click();
            // Precise: a coarse timer may end a long run minutes late.
            if (runFor)
                QTimer::singleShot(*runFor, Qt::PreciseTimer, &form, [&form] { EndWhenSent(form); });
        });
    }
    return std::nullopt;
}
