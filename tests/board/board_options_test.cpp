#include "board/BoardOptions.h"

#include <gtest/gtest.h>

using namespace board;

namespace {

BoardCommandLine Parse(QStringList arguments)
{
    arguments.prepend("marqboard");
    return ParseBoardOptions(arguments);
}

std::string ErrorOf(const QStringList& arguments)
{
    const auto parsed = Parse(arguments);
    const auto* error = std::get_if<OptionError>(&parsed);
    return error ? error->message : std::string();
}

} // namespace

TEST(BoardOptions, DefaultsMatchTheTestersDefaults)
{
    const auto options = std::get<BoardOptions>(Parse({}));
    EXPECT_EQ(options.udpHost, "127.0.0.1");
    EXPECT_EQ(options.udpPort, 51810);
    EXPECT_TRUE(options.udp);
    EXPECT_EQ(options.baud, 2400);
    EXPECT_FALSE(options.kappa);
    EXPECT_TRUE(options.device.empty());
    EXPECT_FALSE(options.com);
    EXPECT_FALSE(options.address);
}

TEST(BoardOptions, TakesEveryOption)
{
    const auto options = std::get<BoardOptions>(
        Parse({"--udp", "0.0.0.0:0", "--com", "12", "--baud", "19200", "--kappa", "--address", "L",
               "--print", "--headless", "--port-file", "/tmp/x"}));
    EXPECT_EQ(options.udpHost, "0.0.0.0");
    EXPECT_EQ(options.udpPort, 0);
    EXPECT_EQ(options.com, 12);
    EXPECT_EQ(options.baud, 19200);
    EXPECT_TRUE(options.kappa);
    EXPECT_EQ(options.address, 'L');
    EXPECT_TRUE(options.print && options.headless);
    EXPECT_EQ(options.portFile, "/tmp/x");

    EXPECT_EQ(std::get<BoardOptions>(Parse({"--port", "COM33"})).device, "COM33");
    EXPECT_EQ(std::get<BoardOptions>(Parse({"--device", "/dev/ttyUSB0"})).device, "/dev/ttyUSB0");
    EXPECT_FALSE(std::get<BoardOptions>(Parse({"--no-udp"})).udp);
    EXPECT_TRUE(std::holds_alternative<UsageText>(Parse({"--help"})));
    EXPECT_TRUE(std::holds_alternative<VersionRequest>(Parse({"--version"})));
}

TEST(BoardOptions, RefusesBadValuesWithAReason)
{
    EXPECT_NE(ErrorOf({"--baud", "4000"}).find("2400, 4800, 9600 or 19200"), std::string::npos);
    EXPECT_NE(ErrorOf({"--udp", "127.0.0.1"}).find("HOST:PORT"), std::string::npos);
    EXPECT_NE(ErrorOf({"--udp", "127.0.0.1:70000"}).find("HOST:PORT"), std::string::npos);
    EXPECT_NE(ErrorOf({"--udp", "127.0.0.1:51x"}).find("HOST:PORT"), std::string::npos);
    EXPECT_NE(ErrorOf({"--address", "M"}).find("A to L"), std::string::npos)
        << "the decoder knows no address beyond L";
    EXPECT_NE(ErrorOf({"--address", "AB"}).find("A to L"), std::string::npos);
    EXPECT_FALSE(ErrorOf({"--com", "0"}).empty());
    EXPECT_FALSE(ErrorOf({"--com", "100"}).empty());
    EXPECT_FALSE(ErrorOf({"--port", "ttyS0"}).empty());
    EXPECT_FALSE(ErrorOf({"--device", "ttyS0"}).empty());
    EXPECT_FALSE(ErrorOf({"--device", "/dev/ttyS0", "--port", "COM1"}).empty());
    EXPECT_FALSE(ErrorOf({"--com", "3", "--device", "/dev/ttyS0"}).empty());
    EXPECT_FALSE(ErrorOf({"--bogus"}).empty());
    EXPECT_FALSE(ErrorOf({"stray"}).empty());
}
