// marqboard: a virtual display board at the far end of marqtest's serial line and UDP route.

#include "BoardInput.h"
#include "BoardOptions.h"
#include "BoardWidget.h"
#include "DatagramDecoder.h"
#include "NullModem.h"
#include "PortRegistration.h"
#include "Recorder.h"
#include "SerialRoute.h"
#include "SignalWatcher.h"
#include "TextDisplay.h"
#include "UdpListener.h"
#include "os/linux/ComRoots.h"
#include "os/linux/PseudoTerminal.h"
#include "os/VersionInfo.h"

#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>

using namespace board;

namespace {

// The virtual line: the tester's end registered as a COM number, the board's end opened by the
// serial channel, a null modem between them.
struct VirtualLine {
    VirtualLine(const ComNames::Roots& places, std::optional<int> number)
        : registration(places, tester.SlavePath(), number),
          cable(tester, board)
    {
    }
    PseudoTerminal tester{PseudoTerminal::MasterMode::NonBlocking};
    PseudoTerminal board{PseudoTerminal::MasterMode::NonBlocking};
    PortRegistration registration;
    NullModem cable;
};

std::unique_ptr<QCoreApplication> MakeApplication(int& argc, char** argv, bool window)
{
    if (window)
        return std::make_unique<QApplication>(argc, argv);
    return std::make_unique<QCoreApplication>(argc, argv);
}

void Announce(const BoardOptions& options, const VirtualLine* line, const std::string& device,
              const UdpListener* udp)
{
    const std::string serial = line ? line->registration.Name() : device;
    const std::string path = line ? line->tester.SlavePath() : device;
    if (options.print) {
        QJsonObject where{{"serial", QString::fromStdString(serial)},
                          {"device", QString::fromStdString(path)},
                          {"baud", options.baud},
                          {"format", options.kappa ? "7-N-2" : "8-N-1"}};
        if (udp)
            where.insert("udp", QString::fromStdString(udp->Endpoint()));
        std::cout << QJsonDocument(QJsonObject{{"listening", where}}).toJson(QJsonDocument::Compact).toStdString()
                  << std::endl;
        return;
    }
    std::cout << "marqboard: listening on " << serial;
    if (line)
        std::cout << " (" << path << ")";
    std::cout << " at " << options.baud << " baud " << (options.kappa ? "7-N-2" : "8-N-1");
    if (udp)
        std::cout << " and on UDP " << udp->Endpoint();
    std::cout << std::endl;
}

// Help, the version or a refused option: answered without a board, with the exit status.
std::optional<int> AnswerWithoutBoard(const BoardCommandLine& parsed)
{
    if (const auto* usage = std::get_if<UsageText>(&parsed)) {
        std::cout << usage->text;
        return 0;
    }
    if (std::holds_alternative<VersionRequest>(parsed)) {
        std::cout << VersionText("marqboard");
        return 0;
    }
    if (const auto* error = std::get_if<OptionError>(&parsed)) {
        std::cerr << "marqboard: " << error->message << "\nTry marqboard --help.\n";
        return 2;
    }
    return std::nullopt;
}

// The board's window, its caption naming where the board listens.
std::unique_ptr<BoardWidget> ShowWindow(const BoardState& state, const std::string& lineName,
                                        const UdpListener* udp)
{
    QString where = QString::fromStdString(lineName);
    if (udp)
        where += QString::fromUtf8("  ·  UDP ") + QString::fromStdString(udp->Endpoint());
    auto widget = std::make_unique<BoardWidget>(state, where);
    widget->setWindowTitle("marqboard");
    widget->resize(widget->sizeHint().scaled(1100, 400, Qt::KeepAspectRatio));
    widget->show();
    return widget;
}

int Run(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const auto parsed = ParseBoardOptions(arguments);
    if (const std::optional<int> answered = AnswerWithoutBoard(parsed))
        return *answered;
    const auto& options = std::get<BoardOptions>(parsed);
    const bool window = !options.headless && !options.print;

    auto app = MakeApplication(argc, argv, window);
    SignalWatcher termination;
    QObject::connect(&termination, &SignalWatcher::Terminated, app.get(), &QCoreApplication::quit);

    std::unique_ptr<Recorder> recorder;
    if (!options.recordFile.empty())
        recorder = std::make_unique<Recorder>(options.recordFile);
    BoardState state(options.address);
    BoardInput input(state);

    // Where COM names lead: the board's own is registered there, a --device COMn found there.
    const ComNames names = ComNames::FromEnvironment();
    std::unique_ptr<VirtualLine> line;
    std::string device = options.device;
    if (device.empty()) {
        line = std::make_unique<VirtualLine>(names.Places(), options.com);
        device = line->board.SlavePath();
    }
    SerialRoute serial(input, names, device, options.baud, options.kappa);
    serial.OnLost = [&device](const std::string& reason) {
        std::cerr << "marqboard: the serial line " << device << " closed: " << reason
                  << "; UDP goes on\n";
    };

    std::unique_ptr<UdpListener> udp;
    DatagramDecoder datagrams(input);
    if (options.udp) {
        udp = std::make_unique<UdpListener>(options.udpHost, options.udpPort);
        udp->OnDatagram = [&datagrams](std::string_view datagram) { datagrams.Decode(datagram); };
    }

    Announce(options, line.get(), options.device, udp.get());
    if (line && !options.portFile.empty())
        std::ofstream(options.portFile) << line->registration.Name() << "\n";

    std::unique_ptr<TextDisplay> text;
    if (options.headless)
        text = std::make_unique<TextDisplay>(state, options.print ? stderr : stdout);
    std::unique_ptr<BoardWidget> widget;
    if (window)
        widget = ShowWindow(state, line ? line->registration.Name() : options.device, udp.get());

    // Every item is printed (with --print) and redrawn. A reader that went away ends the board
    // the normal way, so that its port link is removed.
    const auto print = [&options, &app](const std::string& json) {
        if (options.print && !(std::cout << json << std::endl))
            app->quit();
    };
    const auto redraw = [&text, &widget] {
        if (text)
            text->Changed();
        if (widget)
            widget->update();
    };
    input.OnLine = [&](const LineEvent& event) {
        if (recorder)
            recorder->Record(event.route, event.raw);
        print(ToJson(event));
        redraw();
    };
    input.OnCommand = [&](const CommandEvent& event) {
        if (recorder)
            recorder->Record(event.route, event.raw);
        print(ToJson(event));
        redraw();
    };
    const int code = app->exec();
    // Nothing may reach the outputs while they are taken down.
    input.OnLine = nullptr;
    input.OnCommand = nullptr;
    return code;
}

} // namespace

int main(int argc, char** argv)
{
    SignalWatcher::BlockTerminationSignals();
    std::signal(SIGPIPE, SIG_IGN); // a closed output is seen as a failed write instead

    try {
        return Run(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "marqboard: " << error.what() << "\n";
        return 1;
    }
}
