#pragma once
// marqtest's command-line options: presets for scripted and burn-in use. Each option does what
// the corresponding user action in the window does.

#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>
#include <variant>

class TForm1;

// How long the name service may take with the host of --udp before a run goes on without it; its
// own time-outs (a resolver's retries) end sooner.
inline constexpr std::chrono::seconds kHostLookupLimit{30};

struct StartOptions {
    enum class Start { AllDigits, Blank, ActualTime, Continuous, SendData };

    std::optional<QString> port;    // "COMn"
    std::optional<QString> baud;    // an item of the rate list
    bool kappa = false;
    bool lyra = false;
    bool rotate = false;
    bool removeColons = false;
    bool removePoints = false;
    std::optional<QString> address; // an item of the address list
    std::optional<QString> udpHost;
    std::optional<QString> udpPort;
    std::optional<int> brightness;  // Lyra brightness track bar position, 0-9
    std::optional<int> timeout;     // Lyra time-out track bar position, 0-99
    std::optional<Start> start;
    // A scripted run: the window ends itself this long after it is up and the start button was
    // clicked, and the exit status tells whether everything went out.
    std::optional<std::chrono::milliseconds> runFor;

    // Runs without the window: a check of the line on --port, or a recording sent again.
    enum class Check { Loopback, Formats };
    std::optional<Check> check;
    std::optional<QString> replay; // the recording's file name
};

// What the command line asks for: options to apply, or text to print and an exit code
// (0 after --help or --version, 2 after a bad option or value).
struct CommandLineExit {
    QString text;
    int code = 0;
};
using CommandLineResult = std::variant<StartOptions, CommandLineExit>;

// `arguments` starts with the program's name, as QCoreApplication::arguments() gives it.
CommandLineResult ParseCommandLine(const QStringList& arguments);
QString HelpText();

// Applies the options to a window that is up, as the user's clicks and choices would; a start
// button is clicked once the event loop runs, and with a run time the End button that much
// later. Returns an error text for a value the window cannot take (a port that is not in its
// list).
std::optional<QString> ApplyStartOptions(TForm1& form, const StartOptions& options);
