// Prints: the time from process start to the test window shown, resident memory after start,
// and, for Actual Time at 19200 baud over 10 s on a pseudo-terminal, lines per second against
// the 76.9 expected and the gap error between lines (median, 99th percentile, worst); then, with
// a board that has stopped reading, how long each tick holds the window.

#include "app/Form1.h"
#include "os/PseudoTerminal.h"
#include "support/PortsDirectory.h"
#include "support/ProcessCounts.h"

#include <QApplication>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class SilentDesktop : public Desktop {
public:
    void ShowMessage(const MessageBoxText& message) override
    {
        std::fprintf(stderr, "message: %s\n", message.text.toLocal8Bit().constData());
    }
    void Open(const QUrl&) override {}
};

// Milliseconds since this process started, from the kernel's record of its start.
double MillisecondsSinceProcessStart()
{
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22; ++i) // field 22 is the start time in clock ticks after boot
        fields >> field;
    const double started = std::stod(field) / static_cast<double>(sysconf(_SC_CLK_TCK));
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return (static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9 - started) * 1000.0;
}

double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

// Time stamps of every carriage return that comes out of the master, until told to stop.
std::vector<Clock::time_point> CollectLineEnds(int master, const std::atomic<bool>& stop)
{
    std::vector<Clock::time_point> ends;
    char buffer[4096];
    while (!stop) {
        pollfd entry{master, POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0)
            continue;
        const ssize_t size = ::read(master, buffer, sizeof buffer);
        const auto now = Clock::now();
        for (ssize_t i = 0; i < size; ++i) {
            if (buffer[i] == '\r')
                ends.push_back(now);
        }
    }
    return ends;
}

} // namespace

int main(int argc, char* argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM") && !qEnvironmentVariableIsSet("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    // A pseudo-terminal registered as COM42 in a private ports directory.
    const PortsDirectory ports;
    const PseudoTerminal line;
    ports.Link(42, line.SlavePath());
    const int master = line.Master();
    const int slave = line.Slave();

    QApplication application(argc, argv);
    SilentDesktop desktop;
    TForm1 form(desktop);
    form.show();
    if (!QTest::qWaitForWindowExposed(&form))
        std::fprintf(stderr, "the window was not exposed\n");
    const double shownAfter = MillisecondsSinceProcessStart();
    const long resident = ResidentKilobytes();
    std::printf("platform            %s\n", qPrintable(QGuiApplication::platformName()));
    std::printf("window shown after  %.0f ms from process start (target < 300 ms)\n", shownAfter);
    std::printf("resident memory     %.1f MB after start (target < 60 MB)\n", resident / 1024.0);

    const int port = form.Port->findText("COM42");
    form.Port->setCurrentIndex(port);
    emit form.Port->activated(port);
    form.Baud->setCurrentIndex(3);
    emit form.Baud->activated(3);
    if (!form.Channel().ok()) {
        std::fprintf(stderr, "COM42 did not open: %s\n", form.Channel().LastError().c_str());
        return 1;
    }

    constexpr auto kRun = std::chrono::seconds(10);
    std::atomic<bool> stop{false};
    std::vector<Clock::time_point> ends;
    // Steady state: the first painting of the window is over before the run starts.
    QTest::qWait(500);
    std::thread reader([&] { ends = CollectLineEnds(master, stop); });
    form.ActualTime->click();
    QTimer::singleShot(kRun, &application, &QCoreApplication::quit);
    QApplication::exec();
    form.Timer1->stop();
    stop = true;
    reader.join();

    std::vector<double> gapErrors;
    for (std::size_t i = 1; i < ends.size(); ++i) {
        const double gap = std::chrono::duration<double, std::milli>(ends[i] - ends[i - 1]).count();
        gapErrors.push_back(std::abs(gap - form.Timer1->interval()));
    }
    // Over the span the lines actually took, so that a late end of the run counts for nothing.
    const double seconds =
        ends.size() > 1 ? std::chrono::duration<double>(ends.back() - ends.front()).count() : 1.0;
    const double expected = 1000.0 / form.Timer1->interval();
    const double rate = static_cast<double>(ends.size() - std::min<std::size_t>(ends.size(), 1)) / seconds;
    std::printf("actual time 19200   %zu lines in %.2f s: %.1f lines/s, expected %.1f (%.1f%%, target >= 98%%)\n",
                ends.size(), seconds, rate, expected, 100.0 * rate / expected);
    std::printf("gap error           median %.3f ms, 99th percentile %.3f ms (target < 3 ms), worst %.3f ms\n",
                Percentile(gapErrors, 0.5), Percentile(gapErrors, 0.99), Percentile(gapErrors, 1.0));

    // The board stops reading: the line's queue fills and every tick meets a write that cannot
    // finish.
    ::fcntl(slave, F_SETFL, ::fcntl(slave, F_GETFL) | O_NONBLOCK);
    const std::string block(4096, 'x');
    while (::write(slave, block.data(), block.size()) > 0) {
    }
    while (::write(slave, block.data(), 1) > 0) {
    }
    std::vector<double> ticks;
    for (int i = 0; i < 20; ++i) {
        QTest::qWait(form.Timer1->interval()); // the events between two ticks
        const auto start = Clock::now();
        Guarded(desktop, [&] { form.Timer1Timer(); });
        ticks.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::printf("stalled board       a tick holds the window median %.1f ms, worst %.1f ms over %zu ticks "
                "(write time-out %d ms; \"%s\")\n",
                Percentile(ticks, 0.5), Percentile(ticks, 1.0), ticks.size(), form.Channel().Timeout(),
                form.Channel().LastError().c_str());
    return 0;
}
