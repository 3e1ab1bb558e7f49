// The line check: a loopback through whatever the far end of a pseudo-terminal does with the
// bytes, and the format sweep read at the far end while its lines arrive.
#include "app/FormatSweep.h"
#include "app/LineCheckWindow.h"
#include "app/LineTimingWatch.h"
#include "app/LoopbackCheck.h"
#include "WindowFixture.h"
#include "os/linux/PseudoTerminal.h"
#include "os/linux/TermiosRecord.h"
#include "protocol/LineFormats.h"
#include "serial/NexCom.h"
#include "support/PortsDirectory.h"
#include "support/QtPrinting.h"
#include "support/UdpReceiver.h"
#include "support/Waiting.h"

#include <QFile>
#include <QCoreApplication>
#include <QAction>
#include <QDoubleSpinBox>
#include <QHelpEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QProcess>
#include <QToolTip>
#include <QTemporaryDir>
#include <QSocketNotifier>

#include <gtest/gtest.h>

#include <functional>
#include <termios.h>
#include <unistd.h>

namespace protocol {
void PrintTo(const LineFormat& format, std::ostream* out)
{
    *out << format.Name();
}
} // namespace protocol

namespace {

// The far end of COM5: what a jumper, a mismatched or a failing line does to the bytes the port
// sends. Each transform is applied to what the master of the pseudo-terminal reads
// (drivers/tty/pty.c passes the port's bytes to it unchanged) before it is written back.
class FarEnd {
public:
    using Transform = std::function<std::string(const std::string&)>;

    FarEnd(const PortsDirectory& ports, Transform transform)
        : transform_(std::move(transform)), notifier_(line_.Master(), QSocketNotifier::Read)
    {
        ports.Link(5, line_.SlavePath());
        QObject::connect(&notifier_, &QSocketNotifier::activated, [this] {
            char buffer[4096];
            const ssize_t size = ::read(line_.Master(), buffer, sizeof buffer);
            if (size <= 0)
                return;
            const std::string back = transform_ ? transform_(std::string(buffer, static_cast<std::size_t>(size))) : "";
            if (!back.empty())
                line_.Send(back);
        });
    }
    int Slave() const { return line_.Slave(); }
    std::string Pending() const { return line_.Receive(1 << 16, 0); }

private:
    PseudoTerminal line_{PseudoTerminal::MasterMode::NonBlocking};
    Transform transform_;
    QSocketNotifier notifier_;
};

// A jumper between TX and RX: every byte comes straight back.
std::string Jumper(const std::string& bytes)
{
    return bytes;
}

// A receiver whose rate or frame differs reads other values: here the top bit of every byte
// above 0x70 comes back flipped, as a wrong parity or stop bit setting garbles the high bits
// of a character (drivers/tty/serial/8250/8250_port.c hands on whatever the UART decoded).
std::string Garble(const std::string& bytes)
{
    std::string back = bytes;
    for (char& c : back) {
        if (static_cast<unsigned char>(c) > 0x70)
            c = static_cast<char>(c ^ 0x80);
    }
    return back;
}

// A receive FIFO that overruns loses characters (8250_port.c counts UART_LSR_OE and the byte is
// gone): every 40th byte never comes back.
struct Overrun {
    std::string operator()(const std::string& bytes)
    {
        std::string back;
        for (const char c : bytes) {
            if (++count % 40 != 0)
                back += c;
        }
        return back;
    }
    int count = 0;
};

struct Checked {
    LoopbackResult result;
    std::vector<std::string> report;
};

Checked RunLoopback(FarEnd::Transform transform, bool kappa = false)
{
    PortsDirectory ports;
    FarEnd far(ports, std::move(transform));
    TNexComThread channel(ports.Names());
    channel.SetPort(5);
    channel.SetBaud(19200);
    channel.SetKappaFrame(kappa);
    channel.OpenPort();
    LoopbackCheck check(channel, "COM5");
    bool finished = false;
    QObject::connect(&check, &LoopbackCheck::Finished, [&] { finished = true; });
    check.Start();
    EXPECT_TRUE(WaitUntil([&] { return finished; }, std::chrono::seconds(20)));
    return {check.Result(), LoopbackReport(check.Result())};
}

bool Says(const std::vector<std::string>& report, const std::string& text)
{
    return std::any_of(report.begin(), report.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

TEST(LoopbackCheckTest, SaysWhatCameBackAndWhatToDoNext)
{
    const Checked intact = RunLoopback(Jumper);
    EXPECT_TRUE(intact.result.Passed());
    EXPECT_EQ(intact.result.count.sent, 256u + 3 * 23) << "every byte value, then three display lines";
    EXPECT_EQ(intact.result.count.intact, intact.result.count.sent);
    EXPECT_EQ(intact.result.roundTripsMs.size(), 19u) << "one round trip per piece";
    EXPECT_EQ(intact.result.format, "19200 8-N-1");
    EXPECT_FALSE(Says(intact.report, "Next step"));

    const Checked kappa = RunLoopback(Jumper, true);
    EXPECT_TRUE(kappa.result.Passed());
    EXPECT_EQ(kappa.result.count.sent, 128u + 3 * 23) << "seven bits carry 128 values";
    EXPECT_EQ(kappa.result.format, "19200 7-N-2");

    // No jumper: the first piece finds nothing and the check ends there, after its bound.
    const Checked silent = RunLoopback(nullptr);
    EXPECT_FALSE(silent.result.Passed());
    EXPECT_TRUE(silent.result.NothingBack());
    EXPECT_EQ(silent.result.count.sent, 16u);
    EXPECT_TRUE(Says(silent.report, "Next step: fit a jumper between TX and RX at the far end and run it again; "
                                    "if it still fails, the adapter or its cable"));

    const Checked garbled = RunLoopback(Garble);
    EXPECT_FALSE(garbled.result.Passed());
    EXPECT_EQ(garbled.result.count.changed, 0x100u - 0x71) << "0x71 to 0xFF; the lines have none";
    EXPECT_EQ(garbled.result.count.missing, 0u);
    EXPECT_TRUE(Says(garbled.report, "a rate or frame mismatch, or noise"));
    EXPECT_FALSE(Says(garbled.report, "flow control"));

    const Checked dropping = RunLoopback(Overrun{});
    EXPECT_FALSE(dropping.result.Passed());
    EXPECT_EQ(dropping.result.count.missing, dropping.result.count.sent / 40);
    EXPECT_EQ(dropping.result.count.changed, 0u);
    EXPECT_TRUE(Says(dropping.report, "flow control or a failing adapter"));
}

// The real program, its far end served by this test's event loop meanwhile.
int RunProgram(const PortsDirectory& ports, const QStringList& arguments, QString* out = nullptr,
               QString* errors = nullptr)
{
    QProcess program;
    program.setProcessEnvironment(ports.Environment());
    program.start(MARQTEST_EXECUTABLE, arguments);
    bool done = false;
    QObject::connect(&program, &QProcess::finished, [&] { done = true; });
    if (!WaitUntil([&] { return done; }, std::chrono::seconds(60))) {
        program.kill();
        program.waitForFinished(5000);
        return -1;
    }
    if (out)
        *out = QString::fromLocal8Bit(program.readAllStandardOutput());
    if (errors)
        *errors = QString::fromLocal8Bit(program.readAllStandardError());
    return program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
}

TEST(LoopbackCheckTest, TheProgramsExitStatus)
{
    PortsDirectory ports;
    {
        FarEnd far(ports, Jumper);
        QString report;
        EXPECT_EQ(RunProgram(ports, {"--port", "COM5", "--baud", "9600", "--check", "loopback"}, &report), 0);
        EXPECT_TRUE(report.startsWith("Loopback check on COM5 at 9600 8-N-1\n")) << report.toStdString();
    }
    {
        FarEnd far(ports, nullptr);
        QString report;
        EXPECT_EQ(RunProgram(ports, {"--port", "COM5", "--check", "loopback"}, &report), 1);
        EXPECT_TRUE(report.contains("\nNothing came back\n")) << report.toStdString();
    }
    EXPECT_EQ(RunProgram(ports, {"--check", "loopback"}), 2) << "no port";
    EXPECT_EQ(RunProgram(ports, {"--port", "COM5", "--check", "echo"}), 2);
    EXPECT_EQ(RunProgram(ports, {"--port", "COM5", "--check", "loopback", "--start", "blank"}), 2);
}

// A recording sent again: by both routes when both are given; a recording with a bad line is
// refused whole, with the line's number, before anything leaves.
TEST(ReplayTest, SendsEveryEntryOrNothing)
{
    PortsDirectory ports;
    std::string arrived;
    FarEnd far(ports, [&](const std::string& bytes) {
        arrived += bytes;
        return std::string();
    });
    UdpReceiver receiver;
    QTemporaryDir folder;
    const QString path = folder.filePath("console.rec");
    const auto write = [&](const std::string& text) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.data(), static_cast<qint64>(text.size()));
    };
    const QStringList routes = {"--replay", path, "--port", "COM5", "--udp",
                                QStringLiteral("127.0.0.1:%1").arg(receiver.Port())};

    write("# from a console\n0.000000 serial \"  7     12:00:01.0    \\r\"\n0.050000 udp \"L\\x1B\"\n");
    EXPECT_EQ(RunProgram(ports, routes), 0);
    EXPECT_TRUE(WaitUntil([&] { return arrived.size() == 23 + 2; }));
    EXPECT_EQ(arrived, "  7     12:00:01.0    \rL\x1B") << "both entries by the serial line, in order";
    EXPECT_EQ(receiver.Drain(), (std::vector<std::string>{"  7     12:00:01.0    \r", "L\x1B"}));

    arrived.clear();
    write("0.000000 serial \"first\\r\"\n0.010000 serial \"second\\r\"\n0.020000 serial second\n");
    QString errors;
    EXPECT_EQ(RunProgram(ports, routes, nullptr, &errors), 2);
    EXPECT_TRUE(errors.contains(path + ":3: the bytes are not in double quotes")) << errors.toStdString();
    RunEventLoop(std::chrono::milliseconds(100));
    EXPECT_EQ(arrived, "");
    EXPECT_TRUE(receiver.Drain().empty());
}

// What the port is set to, read at the far end. A pseudo-terminal keeps the rate and the stop
// bits it is given but always reads 8 data bits without parity (drivers/tty/pty.c,
// pty_set_termios forces CS8 and clears PARENB), so the stop bits tell the two frames apart.
protocol::LineFormat SetTo(int slave)
{
    termios settings{};
    EXPECT_EQ(::tcgetattr(slave, &settings), 0);
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    return {SpeedBitsPerSecond(::cfgetospeed(&settings)), (settings.c_cflag & CSTOPB) != 0};
}

TEST(FormatSweepTest, EachLineLeavesWhileThePortIsSetToItsFormat)
{
    PortsDirectory ports;
    PseudoTerminal far(PseudoTerminal::MasterMode::NonBlocking);
    ports.Link(5, far.SlavePath());
    TNexComThread channel(ports.Names());
    channel.SetPort(5);
    channel.OpenPort();

    // Held shorter than the line's repeat: one line per format.
    constexpr auto kHold = std::chrono::milliseconds(400);
    FormatSweep sweep(channel, kHold);
    std::vector<protocol::LineFormat> announced;
    std::vector<std::chrono::steady_clock::time_point> from;
    // At each change the line of the format before has arrived whole, and the new format's line
    // has not left yet: it leaves only now that the far end reads the new settings.
    const auto lineBefore = [&] {
        if (announced.empty())
            return;
        const std::string expected = protocol::FormatLine(announced.back());
        EXPECT_EQ(far.Receive(expected.size()), expected) << announced.back().Name();
        EXPECT_EQ(far.Receive(1, 50), "") << "nothing more before the port changed";
    };
    sweep.OnFormat = [&](const protocol::LineFormat& format) {
        lineBefore();
        EXPECT_EQ(SetTo(far.Slave()), format);
        announced.push_back(format);
        from.push_back(std::chrono::steady_clock::now());
    };
    bool finished = false;
    QObject::connect(&sweep, &FormatSweep::Finished, [&] { finished = true; });
    sweep.Start();
    ASSERT_TRUE(WaitUntil([&] { return finished; }, std::chrono::seconds(30)));
    from.push_back(std::chrono::steady_clock::now());
    lineBefore();

    EXPECT_EQ(sweep.Error(), "");
    EXPECT_EQ(announced, protocol::SweepFormats());
    EXPECT_EQ(protocol::FormatLine({19200, false}), "192     01:92:81.00081\r");
    EXPECT_EQ(protocol::FormatLine({2400, true}), " 24     00:24:72.00072\r");
    for (std::size_t i = 1; i < from.size(); ++i)
        EXPECT_GE(from[i] - from[i - 1], kHold - std::chrono::milliseconds(1)) << "held for its time: " << i;
}

class LineTimingTest : public WindowTest {
protected:
    LineTimingTest() : WindowTest({5}) {}

    QString ToolTipOfData()
    {
        QHelpEvent help(QEvent::ToolTip, QPoint(1, 1), form->Text2->mapToGlobal(QPoint(1, 1)));
        QCoreApplication::sendEvent(form->Text2, &help);
        return QToolTip::text();
    }
};

// The "Data:" label's tool tip tells what the line did, as a scripted run's last line does; a
// frame whose line cannot fit the tick is named.
TEST_F(LineTimingTest, TheDataLabelSaysWhatTheLineDid)
{
    LineTimingWatch watch(*form);
    Choose(form->Port, "COM5");
    Choose(form->Baud, "19200");
    Click(form->ActualTime);
    ASSERT_TRUE(TimerTicks(5));
    Click(form->ActualTime);
    const std::string sent = devices.at(5).ReadAvailable();
    const auto lines = std::count(sent.begin(), sent.end(), '\r');
    EXPECT_EQ(lines, 6) << "five ticks and the stopping line";

    const QString tip = ToolTipOfData();
    EXPECT_TRUE(tip.startsWith(QStringLiteral("Protocol on Interface:\nLine: 6 lines sent, "))) << tip.toStdString();
    EXPECT_TRUE(tip.contains(" ms apart (median)")) << tip.toStdString();
    EXPECT_FALSE(tip.contains("cannot fit")) << tip.toStdString();

    // Eleven bits a character: 23 characters take 13.2 ms at 19200, more than the 13 ms tick.
    form->Channel().SetStopBits(sb2);
    EXPECT_NE(watch.Summary().find("19200 8-N-2 cannot fit a line in its tick: it takes 13.2 ms"), std::string::npos)
        << watch.Summary();
}

TEST_F(LineTimingTest, AScriptedRunEndsWithWhatTheLineDid)
{
    QString out;
    EXPECT_EQ(RunProgram(ports, {"--port", "COM5", "--baud", "9600", "--start", "actual-time", "--for", "1"},
                         &out),
              0);
    const std::string sent = devices.at(5).ReadAvailable();
    const auto lines = std::count(sent.begin(), sent.end(), '\r');
    EXPECT_GT(lines, 1);
    EXPECT_TRUE(out.startsWith(QStringLiteral("Line: %1 lines sent, ").arg(lines))) << out.toStdString();
    EXPECT_EQ(out.count('\n'), 1) << "one line";
}

using LineCheckWindowTest = WindowTest;

// The window's checks run on the test window's port, show what the command line prints, and
// leave the test window's line and its running test as they were.
TEST_F(LineCheckWindowTest, ChecksThePortOfTheTestWindowAndGivesItBack)
{
    FarEnd far(ports, Jumper);
    LineCheckWindow::Offer(*form);
    ASSERT_EQ(form->actions().size(), 1);
    EXPECT_EQ(form->actions()[0]->shortcut(), QKeySequence("Ctrl+L"));
    form->actions()[0]->trigger();
    auto* window = form->findChild<LineCheckWindow*>();
    ASSERT_TRUE(window && window->isVisible());
    bool finished = false;
    QObject::connect(window, &LineCheckWindow::Finished, [&] { finished = true; });

    window->loopbackButton->click();
    EXPECT_TRUE(window->result->toPlainText().startsWith("Choose the port to check"));

    Choose(form->Port, "COM5");
    Choose(form->Baud, "9600");
    window->loopbackButton->click();
    ASSERT_TRUE(WaitUntil([&] { return finished; }, std::chrono::seconds(20)));
    const QString report = window->result->toPlainText();
    EXPECT_TRUE(report.startsWith("Loopback check on COM5 at 9600 8-N-1\n")) << report.toStdString();
    EXPECT_TRUE(report.contains("\nEverything came back intact")) << report.toStdString();

    Click(form->ActualTime);
    finished = false;
    window->holdSeconds->setValue(0.5);
    window->sweepButton->click();
    EXPECT_FALSE(form->Timer1->isActive()) << "the test waits while the sweep runs";
    ASSERT_TRUE(WaitUntil([&] { return finished; }, std::chrono::seconds(30)));
    EXPECT_TRUE(window->result->toPlainText().endsWith("All 8 formats went out"));
    EXPECT_EQ(form->Channel().Baud(), 9600);
    EXPECT_EQ(form->Channel().StopBits(), sb1);
    EXPECT_TRUE(form->Timer1->isActive()) << "and goes on afterwards";
}

} // namespace
