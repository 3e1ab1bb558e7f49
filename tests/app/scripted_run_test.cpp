// marqtest --for: a scripted run ends by itself, and its exit status says whether every line and
// command went out, with the window's own message on standard error when not.
#include "WindowFixture.h"

#include "app/CommandLine.h"
#include "app/ScriptedRun.h"
#include "os/linux/PseudoTerminal.h"
#include "protocol/DisplayLine.h"
#include "protocol/LyraCommands.h"

#include <QFile>
#include <QProcess>

#include <sys/stat.h>
#include <unistd.h>

namespace {

StartOptions Options(QStringList arguments)
{
    arguments.prepend("marqtest");
    return std::get<StartOptions>(ParseCommandLine(arguments));
}

// The window as a script drives it in-process: COM5 is a pseudo-terminal.
class ScriptedRunTest : public ::testing::Test {
protected:
    ScriptedRunTest()
    {
        form = std::make_unique<TForm1>(run, ports.Names());
        form->show();
    }

    // Applies the options with the run watching, as marqtest's start-up does.
    void Start(const QStringList& arguments)
    {
        const StartOptions options = Options(arguments);
        run.Watch(*form, options.port.has_value());
        ASSERT_FALSE(ApplyStartOptions(*form, options));
    }

    PortsDirectory ports;
    VirtualComPort com5{ports, 5};
    QStringList printed;
    ScriptedRun run{[this](const QString& message) { printed << message; }};
    std::unique_ptr<TForm1> form;
};

TEST_F(ScriptedRunTest, EverythingOutIsSuccess)
{
    Start({"--port", "COM5", "--start", "blank"});
    EXPECT_EQ(com5.Read(protocol::kBlank.size()), protocol::kBlank);
    EXPECT_EQ(run.Finish(*form), 0);
    EXPECT_TRUE(printed.isEmpty()) << printed.join('|').toStdString();
}

TEST_F(ScriptedRunTest, AFailedWriteIsReportedThoughTheWindowStaysQuiet)
{
    Start({"--port", "COM5"});
    ASSERT_TRUE(form->Channel().ok());
    com5.Close();
    // The channel answers the failed write with its silent abort; nothing shows in the window.
    form->Button2->click();
    form->Button1->click();
    // The adapter comes back and the window reopens it: lines go out again, yet the run owns
    // up to the unplug.
    ASSERT_TRUE(WaitUntil([&] { return !form->Channel().ok(); }));
    VirtualComPort back{ports, 5, VirtualComPort::Link::Board};
    ASSERT_TRUE(WaitUntil([&] { return form->Channel().ok(); })) << form->Channel().LastError();
    form->Button2->click();
    EXPECT_EQ(back.Read(protocol::kBlank.size()), protocol::kBlank);
    EXPECT_EQ(run.Finish(*form), 1);
    ASSERT_EQ(printed.size(), 1) << printed.join('|').toStdString();
    EXPECT_EQ(printed[0].toStdString(), form->Channel().LastError());
}

TEST_F(ScriptedRunTest, AFailedDatagramIsReported)
{
    Start({"--udp", "0.0.0.0:51810"});
    form->Button2->click();
    form->Button2->click();
    EXPECT_EQ(run.Finish(*form), 1);
    EXPECT_EQ(printed, QStringList{"Null Remote Address"}) << "once, as \"Data:\" shows it";
}

struct Outcome {
    int code = -1;
    QString errors;
};

// The real program, offscreen, with the ports directory of this test; `wrapper` runs it.
Outcome RunProgram(const PortsDirectory& ports, const QStringList& arguments, QStringList wrapper = {})
{
    QProcess program;
    QProcessEnvironment environment = ports.Environment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    program.setProcessEnvironment(environment);
    wrapper << MARQTEST_EXECUTABLE;
    const QString first = wrapper.takeFirst();
    program.start(first, wrapper + arguments);
    if (!program.waitForFinished(60000)) {
        program.kill();
        program.waitForFinished(5000);
        return {};
    }
    Outcome outcome;
    outcome.code = program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
    // Only our own lines: Qt may warn about the session on the same stream.
    for (const QString& line : QString::fromLocal8Bit(program.readAllStandardError()).split('\n')) {
        if (line.startsWith("marqtest: "))
            outcome.errors += line + '\n';
    }
    return outcome;
}

TEST_F(ScriptedRunTest, TheProgramsExitStatusSaysWhatHappened)
{
    const QStringList scripted = {"--start", "blank", "--for", "0"};

    const Outcome working = RunProgram(ports, QStringList{"--port", "COM5", "--lyra", "--brightness", "7",
                                                   "--start", "all-digits", "--for", "0"});
    EXPECT_EQ(working.code, 0) << working.errors.toStdString();
    EXPECT_TRUE(working.errors.isEmpty()) << working.errors.toStdString();
    const std::string sent = protocol::BrightnessCommand(7) + std::string(protocol::kAllDigitsLyra);
    EXPECT_EQ(com5.Read(sent.size()), sent) << "the command, then the line";

    // Busy: this process holds COM6 open, and is named.
    VirtualComPort com6(ports, 6);
    TForm1 holder(run, ports.Names());
    holder.Port->setCurrentIndex(holder.Port->findText("COM6"));
    holder.PortChange();
    ASSERT_TRUE(holder.Channel().ok());
    QFile comm("/proc/self/comm");
    ASSERT_TRUE(comm.open(QIODevice::ReadOnly));
    const QString self = QString::fromLocal8Bit(comm.readAll()).trimmed();
    const Outcome busy = RunProgram(ports, QStringList{"--port", "COM6"} + scripted);
    EXPECT_EQ(busy.code, 1);
    EXPECT_EQ(busy.errors, QStringLiteral("marqtest: Could not open Comport:Device or resource busy "
                                          "(held by %1, pid %2)\n")
                               .arg(self)
                               .arg(::getpid()));

    ports.Link(7, "/dev/null");
    const Outcome notATerminal = RunProgram(ports, QStringList{"--port", "COM7"} + scripted);
    EXPECT_EQ(notATerminal.code, 1);
    EXPECT_EQ(notATerminal.errors, "marqtest: Could not open Comport:Inappropriate ioctl for device\n");

    if (::geteuid() != 0) { // root opens anything
        const PseudoTerminal locked;
        ::chmod(locked.SlavePath().c_str(), 0);
        ports.Link(8, locked.SlavePath());
        const Outcome refused = RunProgram(ports, QStringList{"--port", "COM8"} + scripted);
        EXPECT_EQ(refused.code, 1);
        EXPECT_TRUE(refused.errors.startsWith("marqtest: Could not open Comport:Permission denied"))
            << refused.errors.toStdString();
    }

    const Outcome unlisted = RunProgram(ports, QStringList{"--port", "COM9"} + scripted);
    EXPECT_EQ(unlisted.code, 2) << "a port that is not listed is a bad option";
}

TEST_F(ScriptedRunTest, ADatagramFailsTheRunOnlyWhenItDidNotLeave)
{
    // A host name is looked up before the test starts, so that no datagram is dropped for it.
    UdpReceiver receiver;
    const QString named = QStringLiteral("localhost:%1").arg(receiver.Port());
    const Outcome looked = RunProgram(ports, {"--udp", named, "--start", "actual-time", "--for", "1"});
    EXPECT_EQ(looked.code, 0) << looked.errors.toStdString();
    EXPECT_FALSE(receiver.Empty());

    const Outcome portZero = RunProgram(ports, {"--udp", "localhost:0", "--start", "blank", "--for", "0"});
    EXPECT_EQ(portZero.code, 2) << "nothing can be sent to port 0";

    // A network of its own whose loopback is down refuses every datagram; "Data:" stays quiet.
    if (QProcess::execute("unshare", {"-rn", "true"}) != 0)
        return; // no user namespaces here
    const Outcome refused = RunProgram(ports, {"--udp", "127.0.0.1:9", "--start", "blank", "--for", "0"},
                                       {"unshare", "-rn"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(refused.errors, "marqtest: Network is unreachable\n");
}

TEST_F(ScriptedRunTest, ABaudRateWithNoPortChosenOpensNone)
{
    VirtualComPort com1(ports, 1);
    const Outcome run = RunProgram(ports, {"--baud", "9600", "--start", "all-digits", "--for", "0"});
    EXPECT_EQ(run.code, 0) << run.errors.toStdString();
    EXPECT_EQ(com1.ReadAvailable(), "") << "COM1 was never chosen";
}

} // namespace
