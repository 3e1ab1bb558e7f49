// The real marqboard under a few MiB of random bytes on its serial line and random datagrams:
// it keeps running and still reads every valid line planted among them.

#include "process/BoardProcess.h"
#include "protocol/DisplayLine.h"
#include "protocol/LineFields.h"

#include <QFileInfo>
#include "protocol/LyraCommands.h"
#include "support/FarEnd.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <termios.h>
#include <unistd.h>

namespace {

std::string PlantedLine(int i)
{
    char start[8];
    std::snprintf(start, sizeof start, "%3d", i % 1000);
    return protocol::WithSendData(std::string(protocol::kRunningTimeBase), start, "01:02:03.456", " 7");
}

std::string RandomBytes(std::mt19937& random, std::size_t size)
{
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

// The board listens at 2400 baud 8-N-1; another rate would reach it as garbage.
constexpr speed_t kBoardRate = B2400;

class UdpSender {
public:
    explicit UdpSender(int port) : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        address_.sin_family = AF_INET;
        address_.sin_port = htons(static_cast<std::uint16_t>(port));
        address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = 4 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    ~UdpSender() { ::close(fd_); }
    void Send(const std::string& bytes)
    {
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address_), sizeof address_);
    }

private:
    int fd_;
    sockaddr_in address_{};
};

} // namespace

TEST(BoardFuzz, SurvivesRandomBytesAndStillReadsValidLines)
{
    BoardProcess board;
    ASSERT_TRUE(board.Start()) << board.Failure();

    FarEnd line(board.Link().toStdString(), kBoardRate);

    std::mt19937 random(2026);
    std::set<std::string> plantedSerial, plantedUdp;
    bool serialCommand = false, udpCommand = false;
    const auto consume = [&](const QJsonObject& event) {
        const std::string raw = event["raw"].toString().toLatin1().toStdString();
        const bool serial = event["route"].toString() == "serial";
        if (event.contains("start"))
            (serial ? plantedSerial : plantedUdp).erase(raw);
        if (event["command"].toString() == "brightness" && event["value"].toInt() == 6)
            (serial ? serialCommand : udpCommand) = true;
    };
    UdpSender udp(board.UdpPort());

    constexpr int kRounds = 48; // 48 x 64 KiB = 3 MiB of noise on the line
    for (int round = 0; round < kRounds; ++round) {
        // A line feed ends whatever partial line the noise left in the collectors.
        std::string bytes = RandomBytes(random, 64 * 1024) + "\n" + PlantedLine(round);
        plantedSerial.insert(PlantedLine(round));
        ASSERT_TRUE(line.Write(bytes, std::chrono::seconds(60), [&] { board.Pump(5); })) << strerror(errno);
        ASSERT_EQ(board.Process().state(), QProcess::Running);

        // One noise datagram and one line at a time: a socket buffer that overflows on a slow
        // machine would drop datagrams, which is UDP, not a fault of the board.
        std::uniform_int_distribution<std::size_t> size(0, 65507);
        udp.Send(RandomBytes(random, round % 8 == 0 ? 65507 : size(random)));
        const std::string planted = PlantedLine(500 + round);
        plantedUdp.insert(planted);
        udp.Send(planted);
        ASSERT_TRUE(board.WaitFor([&](const QJsonObject& event) {
            consume(event);
            return plantedUdp.count(planted) == 0;
        }, 30000)) << "datagram line " << round << " was not read";
    }
    const std::string brightness = protocol::BrightnessCommand(6);
    ASSERT_TRUE(line.Write("\n" + brightness));
    udp.Send(brightness);

    const bool all = board.WaitFor([&](const QJsonObject& event) {
        consume(event);
        return plantedSerial.empty() && plantedUdp.empty() && serialCommand && udpCommand;
    }, 90000);
    EXPECT_TRUE(all) << plantedSerial.size() << " serial and " << plantedUdp.size()
                     << " UDP lines missing; commands " << serialCommand << udpCommand;
    line.Close();

    EXPECT_EQ(board.Interrupt(), 0) << "Ctrl-C ends the board normally";
    EXPECT_FALSE(QFile::exists(board.Link()) || QFileInfo(board.Link()).isSymLink())
        << "the ports-directory link must go with the board";
}

TEST(BoardFuzz, EndsCleanlyWhenItsReaderGoes)
{
    // The reader takes the first byte of the announcement and goes away.
    const PortsDirectory ports;
    QTemporaryDir folder;
    const QString portFile = folder.filePath("port");
    QProcess pipeline;
    pipeline.setProcessEnvironment(ports.Environment());
    pipeline.start("bash", {"-c", "set -o pipefail; \"$0\" --print --no-udp --port-file \"$1\" | head -c 1 >/dev/null",
                            MARQBOARD_PATH, portFile});
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(portFile).size() > 0; }, 20000));
    QFile file(portFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString link = QString::fromStdString(ports.Path()) + "/" + QString(file.readAll()).trimmed();

    FarEnd line(link.toStdString(), kBoardRate);
    const std::string planted = PlantedLine(1);
    // Each line is printed; once the pipe is gone the write fails and the board ends. It may
    // end between two looks at it, and then its end of the line has gone too.
    for (int i = 0; i < 50 && pipeline.state() == QProcess::Running; ++i) {
        if (!line.Write(planted)) {
            EXPECT_EQ(errno, EIO) << strerror(errno);
            break;
        }
        pipeline.waitForFinished(100);
    }
    line.Close();
    ASSERT_TRUE(pipeline.state() == QProcess::NotRunning || pipeline.waitForFinished(10000))
        << "the board kept running without a reader";
    EXPECT_EQ(pipeline.exitCode(), 0) << "141 means it was killed by SIGPIPE";
    EXPECT_FALSE(QFileInfo(link).isSymLink()) << "the link must go with the board";
}
