// Actual Time against what the machine allows. One run prints, side by side:
//   - marqtest's window with Actual Time at 19200 baud on a pseudo-terminal, offscreen and under
//     a real X server (Xvfb, the xcb platform), each in a child process of its own;
//   - alongside each, at the same time on a second pseudo-terminal, a bare loop: a thread
//     writing the running-time line at absolute 13 ms deadlines, which is as regular as this
//     machine allows at that moment (so a busy neighbour shows in both columns, not in one);
// with lines per second against the expected rate, the gap error |gap - 13 ms| (median, 99th
// percentile, worst) and the lag from the clock a line carries to its arrival (5 ms of which is
// the truncation to hundredths), all measured at the far end of the pseudo-terminal, the CPU
// time per second of run, and the ratios window / bare loop. The window runs also print the
// time from process start to the window shown, the resident memory, and, once the board stops
// reading, how long each tick holds the window.
//
//   app_bench [--seconds N]                 the whole table (default 10 s per run)
//   app_bench --window [--seconds N]        one window run on the current platform

#include "BareLoop.h"
#include "LineTimes.h"

#include "app/Form1.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;

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

long ResidentKilobytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

double ProcessCpuMilliseconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// One Actual Time run of the window at 19200 baud on COM42, which the parent has linked in the
// ports directory of XDG_CONFIG_HOME to the slave of a pseudo-terminal whose master it reads.
// Prints the start-up figures and the CPU time of the run; then, once the parent has stopped
// reading and filled the line, how long each tick holds the window.
int RunWindow(int argc, char* argv[], std::chrono::seconds run)
{
    QApplication application(argc, argv);
    SilentDesktop desktop;
    TForm1 form(desktop, ComNames::FromEnvironment());
    form.show();
    if (!QTest::qWaitForWindowExposed(&form))
        std::fprintf(stderr, "the window was not exposed\n");
    std::printf("startup %.1f %ld\n", MillisecondsSinceProcessStart(), ResidentKilobytes());

    const int port = form.Port->findText("COM42");
    form.Port->setCurrentIndex(port);
    emit form.Port->activated(port);
    form.Baud->setCurrentIndex(3);
    emit form.Baud->activated(3);
    if (!form.Channel().ok()) {
        std::fprintf(stderr, "COM42 did not open: %s\n", form.Channel().LastError().c_str());
        return 1;
    }

    // Steady state: the first painting of the window is over before the run starts.
    QTest::qWait(500);
    const double cpuBefore = ProcessCpuMilliseconds();
    form.ActualTime->click();
    std::printf("running\n");
    std::fflush(stdout);
    // Precise: a coarse timer of 10 s may end the run half a second early.
    QTimer::singleShot(run, Qt::PreciseTimer, &application, &QCoreApplication::quit);
    QApplication::exec();
    form.Timer1->stop();
    std::printf("run %.3f %d\n", ProcessCpuMilliseconds() - cpuBefore, form.Timer1->interval());

    // The board stops reading: the line's queue fills and every tick meets a write that cannot
    // finish. The parent says when.
    std::printf("stall?\n");
    std::fflush(stdout);
    char answer[8];
    if (!std::fgets(answer, sizeof answer, stdin))
        return 1;
    std::vector<double> ticks;
    for (int i = 0; i < 20; ++i) {
        QTest::qWait(form.Timer1->interval()); // the events between two ticks
        const auto start = BenchClock::now();
        Guarded(desktop, [&] { form.Timer1Timer(); });
        ticks.push_back(std::chrono::duration<double, std::milli>(BenchClock::now() - start).count());
    }
    std::sort(ticks.begin(), ticks.end());
    double total = 0;
    for (double t : ticks)
        total += t;
    std::printf("stalled %.1f %.1f %d\n", total / ticks.size(), ticks.back(),
                form.Channel().Timeout());
    return 0;
}

// A private X server on a free display, for as long as this object lives.
class XServer {
public:
    XServer()
    {
        for (int number = 90; number < 200 && display_.isEmpty(); ++number) {
            const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(number);
            if (QFileInfo::exists(socket) || QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)))
                continue;
            server_.start(QStringLiteral("Xvfb"), {QStringLiteral(":%1").arg(number), "-screen", "0",
                                                  "1280x900x24", "-nolisten", "tcp"});
            if (!server_.waitForStarted(5000))
                return;
            for (int waited = 0; waited < 100 && !QFileInfo::exists(socket); ++waited)
                QThread::msleep(50);
            if (QFileInfo::exists(socket)) {
                display_ = QStringLiteral(":%1").arg(number);
            } else {
                server_.kill();
                server_.waitForFinished(5000);
            }
        }
    }
    ~XServer()
    {
        server_.terminate();
        server_.waitForFinished(5000);
    }
    const QString& Display() const { return display_; }

private:
    QProcess server_;
    QString display_;
};

struct WindowRun {
    Figures figures;
    Figures bare; // the bare loop that ran alongside
    double shownMs = 0;
    long residentKb = 0;
    double stalledMeanMs = 0, stalledWorstMs = 0;
    int writeTimeoutMs = 0;
};

// Reads the child's standard output line by line until one starts with `prefix`.
std::optional<QByteArray> AwaitLine(QProcess& child, const QByteArray& prefix, QByteArray& seen,
                                    std::chrono::milliseconds limit)
{
    const auto deadline = BenchClock::now() + limit;
    for (;;) {
        seen += child.readAllStandardOutput();
        for (const QByteArray& line : seen.split('\n')) {
            if (line.startsWith(prefix))
                return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - BenchClock::now());
        if (left.count() <= 0 || child.state() == QProcess::NotRunning)
            return std::nullopt;
        child.waitForReadyRead(static_cast<int>(left.count()));
    }
}

std::optional<WindowRun> RunChild(const QString& platform, const QString& display,
                                  std::chrono::seconds run)
{
    FarEnd board;
    QTemporaryDir config;
    if (!config.isValid())
        return std::nullopt;
    QDir().mkpath(config.path() + "/marqtest/ports");
    QFile::link(QString::fromStdString(board.SlavePath()), config.path() + "/marqtest/ports/COM42");
    board.StartReading();

    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", platform);
    environment.insert("XDG_CONFIG_HOME", config.path());
    if (display.isEmpty())
        environment.remove("DISPLAY");
    else
        environment.insert("DISPLAY", display);
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {"--window", "--seconds", QString::number(run.count())});

    WindowRun result;
    QByteArray seen;
    std::optional<BareLoop> bare;
    if (AwaitLine(child, "running", seen, 60s))
        bare.emplace(13ms, run);
    const auto ran = AwaitLine(child, "run ", seen, run + 60s);
    if (bare)
        result.bare = bare->Finish();
    std::vector<LineArrival> lines;
    if (AwaitLine(child, "stall?", seen, 10s)) {
        lines = board.StopReading();
        board.Stall();
        child.write("go\n");
    } else {
        lines = board.StopReading();
    }
    child.waitForFinished(60000);
    seen += child.readAllStandardOutput();
    double cpuMs = 0;
    int intervalMs = 0;
    if (!ran || std::sscanf(ran->constData(), "run %lf %d", &cpuMs, &intervalMs) != 2 ||
        intervalMs <= 0)
        return std::nullopt;
    result.figures = Summarise(lines, intervalMs, cpuMs, std::chrono::duration<double>(run).count());
    for (const QByteArray& line : seen.split('\n')) {
        std::sscanf(line.constData(), "startup %lf %ld", &result.shownMs, &result.residentKb);
        std::sscanf(line.constData(), "stalled %lf %lf %d", &result.stalledMeanMs,
                    &result.stalledWorstMs, &result.writeTimeoutMs);
    }
    return result;
}

void PrintTable(const std::optional<WindowRun>& offscreen, const std::optional<WindowRun>& xcb)
{
    struct Row {
        const char* name;
        double Figures::*field;
    };
    const Row rows[] = {
        {"lines per second", &Figures::linesPerSecond},
        {"gap error median ms", &Figures::gapMedian},
        {"gap error p99 ms", &Figures::gapP99},
        {"gap error max ms", &Figures::gapMax},
        {"lag median ms", &Figures::lagMedian},
        {"lag p99 ms", &Figures::lagP99},
        {"CPU ms per s", &Figures::cpuPerSecond},
    };
    std::printf("%-22s %-29s %-29s\n", "", "      offscreen platform", "      xcb platform (Xvfb)");
    std::printf("%-22s %9s %9s %9s  %9s %9s %9s\n", "", "bare loop", "window", "ratio",
                "bare loop", "window", "ratio");
    auto cells = [](const std::optional<WindowRun>& run, double Figures::*field) {
        if (!run) {
            std::printf("  %9s %9s %9s", "-", "-", "-");
            return;
        }
        const double bare = run->bare.*field, window = run->figures.*field;
        std::printf("  %9.3f %9.3f %9.2f", bare, window, bare > 0 ? window / bare : 0.0);
    };
    for (const Row& row : rows) {
        std::printf("%-21s", row.name);
        cells(offscreen, row.field);
        cells(xcb, row.field);
        std::printf("\n");
    }
    std::printf("%-21s", "lines");
    for (const auto* run : {&offscreen, &xcb}) {
        if (*run)
            std::printf("  %9zu %9zu %9s", (*run)->bare.lines, (*run)->figures.lines, "");
        else
            std::printf("  %9s %9s %9s", "-", "-", "");
    }
    std::printf("\n(expected %.1f lines per second)\n", 1000.0 / 13);
    for (const auto& [name, run] : {std::pair{"offscreen", &offscreen}, std::pair{"xcb", &xcb}}) {
        if (*run) {
            std::printf("%-10s window shown %.0f ms after process start, resident %.1f MB\n", name,
                        (*run)->shownMs, (*run)->residentKb / 1024.0);
            std::printf("%-10s board stopped reading: a tick holds the window %.1f ms on average, "
                        "worst %.1f ms, over 20 ticks (write time-out %d ms)\n",
                        name, (*run)->stalledMeanMs, (*run)->stalledWorstMs,
                        (*run)->writeTimeoutMs);
        } else
            std::printf("%-10s no figures (see the messages above)\n", name);
    }
}

int Main(int argc, char* argv[])
{
    std::chrono::seconds run = 10s;
    bool window = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--window")
            window = true;
        else if (argument == "--seconds" && i + 1 < argc)
            run = std::chrono::seconds(std::max(1, std::atoi(argv[++i])));
        else {
            std::fprintf(stderr, "usage: app_bench [--seconds N] [--window]\n");
            return argument == "--help" ? 0 : 2;
        }
    }
    if (window)
        return RunWindow(argc, argv, run);

    QCoreApplication application(argc, argv);
    std::printf("Actual Time at 19200 baud (13 ms), %lld s per run\n",
                static_cast<long long>(run.count()));
    const auto offscreen = RunChild("offscreen", {}, run);
    std::optional<WindowRun> xcb;
    {
        XServer server;
        if (server.Display().isEmpty())
            std::fprintf(stderr, "no X server could be started (Xvfb)\n");
        else
            xcb = RunChild("xcb", server.Display(), run);
    }
    PrintTable(offscreen, xcb);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    try {
        return Main(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "app_bench: %s\n", error.what());
        return 1;
    }
}
