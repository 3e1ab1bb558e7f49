// marqtest's options: what is refused, and what each does to the window.
#include "WindowFixture.h"

#include "app/CommandLine.h"
#include "os/VersionInfo.h"

namespace {

CommandLineResult Parse(QStringList arguments)
{
    arguments.prepend("marqtest");
    return ParseCommandLine(arguments);
}

void ExpectRefused(const QStringList& arguments, const QString& mentioning)
{
    const CommandLineResult result = Parse(arguments);
    const auto* exit = std::get_if<CommandLineExit>(&result);
    ASSERT_TRUE(exit) << arguments.join(' ').toStdString();
    EXPECT_EQ(exit->code, 2);
    EXPECT_TRUE(exit->text.contains(mentioning)) << exit->text.toStdString();
}

TEST(CommandLine, BadValuesAreRefusedWithExitCode2)
{
    ExpectRefused({"--baud", "1200"}, "2400, 4800, 9600, 19200");
    ExpectRefused({"--baud"}, "baud");
    ExpectRefused({"--port", "ttyS0"}, "COM");
    ExpectRefused({"--address", "K"}, "--address K: the address is one of A-J, L-Z, [, \\, ] or NONE");
    ExpectRefused({"--address", "AB"}, "--address AB");
    ExpectRefused({"--udp", "127.0.0.1"}, "HOST:PORT");
    ExpectRefused({"--udp", ":51810"}, "HOST:PORT");
    ExpectRefused({"--brightness", "10"}, "0 to 9");
    ExpectRefused({"--brightness", "-1"}, "0 to 9");
    ExpectRefused({"--timeout", "100"}, "0 to 99");
    ExpectRefused({"--timeout", "4x"}, "0 to 99");
    ExpectRefused({"--udp", "host:70000"}, "HOST:PORT");
    ExpectRefused({"--start", "fast"}, "all-digits, blank, actual-time, continuous, send-data");
    ExpectRefused({"--for", "-1"}, "--for -1");
    ExpectRefused({"--for", "soon"}, "--for soon");
    ExpectRefused({"--for", "inf"}, "0 to 1000000");
    ExpectRefused({"--for", "nan"}, "0 to 1000000");
    ExpectRefused({"--frobnicate"}, "frobnicate");
    ExpectRefused({"extra"}, "extra");
}

TEST(CommandLine, HelpListsEveryOptionAndVersionNamesTheProgram)
{
    const CommandLineResult result = Parse({"--help"});
    const auto* exit = std::get_if<CommandLineExit>(&result);
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->code, 0);
    for (const char* option : {"--port", "--baud", "--kappa", "--lyra", "--rotate", "--remove-colons",
                               "--remove-points", "--address", "--udp", "--brightness", "--timeout",
                               "--start", "--for", "--version"})
        EXPECT_TRUE(exit->text.contains(option)) << option;
    EXPECT_TRUE(exit->text.startsWith("Usage: marqtest"));
    const CommandLineResult shortForm = Parse({"-h"});
    ASSERT_TRUE(std::holds_alternative<CommandLineExit>(shortForm));
    EXPECT_EQ(std::get<CommandLineExit>(shortForm).code, 0);

    const CommandLineResult plain = Parse({"--version"});
    ASSERT_TRUE(std::holds_alternative<CommandLineExit>(plain));
    EXPECT_EQ(std::get<CommandLineExit>(plain).code, 0);
    EXPECT_EQ(std::get<CommandLineExit>(plain).text.toStdString(), VersionText("marqtest"));
}

TEST(CommandLine, ValuesAreReadAsTheWindowNamesThem)
{
    const CommandLineResult result =
        Parse({"--port", "com7", "--baud", "19200", "--address", "b", "--udp", "board.local:4000",
               "--start", "send-data", "--lyra", "--for", "2.5"});
    const auto* options = std::get_if<StartOptions>(&result);
    ASSERT_TRUE(options);
    EXPECT_EQ(options->port, "COM7");
    EXPECT_EQ(options->baud, "19200");
    EXPECT_EQ(options->address, "B");
    EXPECT_EQ(options->udpHost, "board.local");
    EXPECT_EQ(options->udpPort, "4000");
    EXPECT_EQ(options->start, StartOptions::Start::SendData);
    EXPECT_TRUE(options->lyra);
    EXPECT_FALSE(options->kappa);
    EXPECT_EQ(options->runFor, std::chrono::milliseconds(2500));
    EXPECT_FALSE(std::get<StartOptions>(Parse({})).runFor) << "without --for the window stays";
}

class CommandLineWindowTest : public WindowTest {
protected:
    StartOptions Options(QStringList arguments)
    {
        const CommandLineResult result = Parse(std::move(arguments));
        EXPECT_TRUE(std::holds_alternative<StartOptions>(result));
        return std::get<StartOptions>(result);
    }
};

TEST_F(CommandLineWindowTest, PresetsTickAndFillAsTheUserWould)
{
    const QString udp = QStringLiteral("127.0.0.1:%1").arg(receiver.Port());
    EXPECT_FALSE(ApplyStartOptions(*form, Options({"--lyra", "--rotate", "--remove-colons",
                                                   "--remove-points", "--address", "[", "--udp", udp,
                                                   "--start", "all-digits"})));
    EXPECT_TRUE(form->Lyra->isChecked());
    EXPECT_TRUE(form->SendUDPCB->isChecked());
    EXPECT_EQ(form->IPE->text(), "127.0.0.1");
    EXPECT_TRUE(receiver.Drain().empty()) << "the button is clicked once the window runs";
    EXPECT_EQ(NextDatagram(), "[" + Line("        88 88 88 888  "));
}

TEST_F(CommandLineWindowTest, StartsARepeatingTest)
{
    SendToReceiver();
    EXPECT_FALSE(ApplyStartOptions(*form, Options({"--start", "continuous"})));
    EXPECT_EQ(NextDatagram(), Line("          :  :  .     "));
    EXPECT_EQ(form->Dauertest->text(), "Contious test off");
}

TEST_F(CommandLineWindowTest, PortMustBeInTheList)
{
    VirtualComPort com5(ports, 5);
    const auto refused = ApplyStartOptions(*form, Options({"--port", "COM5"}));
    ASSERT_TRUE(refused) << "the window listed its ports before COM5 existed";
    EXPECT_TRUE(refused->contains("COM5"));

    TForm1 later(desktop, ports.Names());
    EXPECT_FALSE(ApplyStartOptions(later, Options({"--port", "COM5", "--baud", "9600"})));
    EXPECT_EQ(later.Schnittstelle->text(), "COM5 OK!");
    EXPECT_TRUE(later.Channel().ok());
    EXPECT_EQ(later.Channel().Baud(), 9600);
}

} // namespace
