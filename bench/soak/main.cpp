// Soak run: Actual Time at 19200 baud to a pseudo-terminal and, as datagrams, to 127.0.0.1, for
// 10 minutes or `--seconds N`. Prints a row of figures every tenth of the run and at the end
// lines sent and received, resident memory, open descriptors and threads at start and end.
// Start is taken a little after Actual Time begins, when the one-time allocations are done.

#include "LineSink.h"
#include "ProcessFigures.h"

#include "app/Form1.h"
#include "support/PortsDirectory.h"
#include "support/Waiting.h"

#include <QApplication>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kComNumber = 5;

class CountingDesktop : public Desktop {
public:
    void ShowMessage(const MessageBoxText& message) override
    {
        ++messages;
        std::fprintf(stderr, "message box: %s\n", qPrintable(message.text));
    }
    void Open(const QUrl&) override {}

    int messages = 0;
};

constexpr const char* kUsage = "usage: bench_soak [--seconds N]   (default 600)\n";

// The run's length from the command line; nothing when the arguments are not understood.
std::optional<int> SecondsFrom(const QStringList& arguments)
{
    if (arguments.size() == 1)
        return 600;
    if (arguments.size() != 3 || arguments[1] != "--seconds")
        return std::nullopt;
    bool isNumber = false;
    const int seconds = arguments[2].toInt(&isNumber);
    return isNumber && seconds > 0 ? std::optional(seconds) : std::nullopt;
}

void Choose(QComboBox* list, int index)
{
    list->setCurrentIndex(index);
    emit list->activated(index);
}

double Percent(long part, long whole)
{
    return whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0;
}

int Soak(int seconds)
{
    const PortsDirectory ports;
    LineSink sink;
    ports.Link(kComNumber, sink.SlavePath());

    CountingDesktop desktop;
    TForm1 form(desktop, ports.Names());
    form.show();
    long sent = 0;
    QObject::connect(form.Timer1, &TTimer::timeout, &form, [&] { ++sent; });

    Choose(form.Port, form.Port->findText(QStringLiteral("COM%1").arg(kComNumber)));
    Choose(form.Baud, form.Baud->findText("19200"));
    if (!form.Channel().ok()) {
        std::fprintf(stderr, "COM%d did not open: %s\n", kComNumber, form.Channel().LastError().c_str());
        return 1;
    }
    form.SendUDPCB->setChecked(true);
    form.IPE->setText("127.0.0.1");
    form.PortE->setText(QString::number(sink.UdpPort()));

    std::printf("soak: Actual Time at 19200 baud, COM%d on %s and UDP 127.0.0.1:%d, %d s\n",
                kComNumber, sink.SlavePath().c_str(), sink.UdpPort(), seconds);
    std::printf("%8s %9s %9s %9s %9s %5s %7s\n", "time s", "sent", "pty", "udp", "RSS kB", "fds", "threads");
    const auto began = Clock::now();
    auto row = [&](const ProcessFigures& figures) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - began).count();
        std::printf("%8.1f %9ld %9ld %9ld %9ld %5d %7d\n", elapsed, sent, sink.SerialLines(),
                    sink.Datagrams(), figures.residentKilobytes, figures.descriptors, figures.threads);
        std::fflush(stdout);
        return figures;
    };

    form.ActualTime->click();
    const auto run = std::chrono::seconds(seconds);
    const auto warmUp = std::min<std::chrono::milliseconds>(5s, run / 10);
    RunEventLoop(warmUp);
    const ProcessFigures start = row(ProcessFigures::Now());
    for (int tenth = 1; tenth <= 10; ++tenth) {
        const auto until = began + warmUp + (run - warmUp) * tenth / 10;
        RunEventLoop(std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()));
        row(ProcessFigures::Now());
    }
    form.ActualTime->click(); // stops the running time, sending the stopped line
    ++sent;
    const auto drainEnd = Clock::now() + 2s;
    while ((sink.SerialLines() < sent || sink.Datagrams() < sent) && Clock::now() < drainEnd)
        RunEventLoop(10ms);
    const ProcessFigures end = row(ProcessFigures::Now());

    std::printf("lines sent          %ld\n", sent);
    std::printf("lines received      pty %ld (%.2f %%), UDP %ld (%.2f %%), datagrams not a display line %ld\n",
                sink.SerialLines(), Percent(sink.SerialLines(), sent), sink.Datagrams(),
                Percent(sink.Datagrams(), sent), sink.OddDatagrams());
    std::printf("resident memory     start %ld kB, end %ld kB (%+ld kB)\n", start.residentKilobytes,
                end.residentKilobytes, end.residentKilobytes - start.residentKilobytes);
    std::printf("open descriptors    start %d, end %d\n", start.descriptors, end.descriptors);
    std::printf("threads             start %d, end %d\n", start.threads, end.threads);
    std::printf("message boxes       %d; channel's last error: %s\n", desktop.messages,
                form.Channel().LastError().empty() ? "none" : form.Channel().LastError().c_str());
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const QStringList arguments = QApplication::arguments();
    if (arguments.contains("--help") || arguments.contains("-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const std::optional<int> seconds = SecondsFrom(arguments);
    if (!seconds) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    try {
        return Soak(*seconds);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_soak: %s\n", error.what());
        return 1;
    }
}
