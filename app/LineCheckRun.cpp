#include "app/LineCheckRun.h"

#include "app/FormatSweep.h"
#include "app/LoopbackCheck.h"
#include "app/Replay.h"
#include "net/NMUDP.h"
#include "os/ComNames.h"
#include "protocol/LineRates.h"
#include "protocol/Recording.h"
#include "serial/NexCom.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>

#include <algorithm>
#include <memory>

namespace {

constexpr std::chrono::seconds kDefaultHold{3};

// The channel open on the options' port, rate and frame; nothing, with the reason printed and
// `code` set, when it is not.
std::unique_ptr<TNexComThread> OpenChannel(const ComNames& names, const StartOptions& options,
                                           const PrintText& err, int& code)
{
    const std::string name = options.port->toStdString();
    const std::vector<std::string> present = names.Present();
    if (std::find(present.begin(), present.end(), name) == present.end()) {
        err(QStringLiteral("--port %1: no such serial port here").arg(*options.port));
        code = 2;
        return nullptr;
    }
    auto channel = std::make_unique<TNexComThread>(names);
    channel->SetPort(ComNames::ComNumber(name));
    channel->SetBaud(options.baud ? options.baud->toInt() : protocol::kLineRates.front().bitsPerSecond);
    channel->SetKappaFrame(options.kappa);
    try {
        channel->OpenPort();
    } catch (const std::exception&) {
    }
    if (!channel->ok()) {
        err(QStringLiteral("Could not open Comport:%1").arg(QString::fromStdString(channel->LastError())));
        code = 1;
        return nullptr;
    }
    return channel;
}

// Runs the event loop until `finished` is emitted by `work`.
template <typename Work> void RunUntilFinished(Work& work)
{
    QEventLoop loop;
    QObject::connect(&work, &Work::Finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    work.Start();
    loop.exec();
}

int Loopback(const ComNames& names, const StartOptions& options, const PrintText& out, const PrintText& err)
{
    int code = 0;
    const auto channel = OpenChannel(names, options, err, code);
    if (!channel)
        return code;
    LoopbackCheck check(*channel, options.port->toStdString());
    RunUntilFinished(check);
    for (const std::string& line : LoopbackReport(check.Result()))
        out(QString::fromStdString(line));
    return check.Result().Passed() ? 0 : 1;
}

int Formats(const ComNames& names, const StartOptions& options, const PrintText& out, const PrintText& err)
{
    int code = 0;
    const auto channel = OpenChannel(names, options, err, code);
    if (!channel)
        return code;
    const auto hold = options.runFor.value_or(std::chrono::milliseconds(kDefaultHold));
    FormatSweep sweep(*channel, hold);
    sweep.OnFormat = [&out](const protocol::LineFormat& format) { out(FormatAnnouncement(format)); };
    RunUntilFinished(sweep);
    if (!sweep.Error().empty()) {
        err(QString::fromStdString(sweep.Error()));
        return 1;
    }
    out(QStringLiteral("All %1 formats went out").arg(sweep.FormatCount()));
    return 0;
}

int SendRecording(const ComNames& names, const StartOptions& options, const PrintText& out,
                  const PrintText& err)
{
    QFile file(*options.replay);
    if (!file.open(QIODevice::ReadOnly)) {
        err(QStringLiteral("--replay %1: %2").arg(*options.replay, file.errorString()));
        return 2;
    }
    const QByteArray text = file.readAll();
    auto parsed = protocol::ParseRecording(std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
    if (const auto* error = std::get_if<protocol::RecordingError>(&parsed)) {
        err(QStringLiteral("%1:%2: %3")
                .arg(*options.replay)
                .arg(error->lineNumber)
                .arg(QString::fromStdString(error->reason)));
        return 2;
    }
    int code = 0;
    std::unique_ptr<TNexComThread> channel;
    if (options.port && !(channel = OpenChannel(names, options, err, code)))
        return code;
    std::unique_ptr<TNMUDP> udp;
    bool refused = false;
    if (options.udpHost) {
        udp = std::make_unique<TNMUDP>(nullptr);
        udp->SetRemoteHost(options.udpHost->toStdString());
        udp->SetRemotePort(options.udpPort->toInt());
        udp->OnSendRefused = [&](QObject*, int) { refused = true; };
        // A datagram for a name not yet looked up is dropped: the name service answers first.
        udp->LookUpRemoteHost(kHostLookupLimit);
    }
    Replay replay(std::move(std::get<std::vector<protocol::RecordedText>>(parsed)), channel.get(), udp.get());
    RunUntilFinished(replay);
    // The last line may still wait for the port.
    std::string error = replay.Error();
    if (channel) {
        try {
            channel->Write(nullptr, 0, true);
        } catch (const std::exception&) {
            error = channel->LastError();
        }
    }
    out(QStringLiteral("Replayed %1 of %2 lines and commands").arg(replay.Sent()).arg(replay.Count()));
    if (!error.empty())
        err(QString::fromStdString(error));
    if (refused && error.empty())
        err(QStringLiteral("The system refused a datagram"));
    return error.empty() && !refused && replay.Sent() == replay.Count() ? 0 : 1;
}

} // namespace

int RunWithoutWindow(const ComNames& names, const StartOptions& options, const PrintText& out,
                     const PrintText& err)
{
    if (options.replay)
        return SendRecording(names, options, out, err);
    if (options.check == StartOptions::Check::Loopback)
        return Loopback(names, options, out, err);
    return Formats(names, options, out, err);
}
