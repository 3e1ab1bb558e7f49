#include "board/NullModem.h"

#include <QTest>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <termios.h>

using board::NullModem;

namespace {

constexpr auto kNonBlocking = PseudoTerminal::MasterMode::NonBlocking;

// A program at one end of the virtual line: opens the slave as the serial driver does.
class LineEnd {
public:
    explicit LineEnd(const std::string& path, speed_t speed = B2400)
        : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        termios settings{};
        ::tcgetattr(fd_.get(), &settings);
        cfmakeraw(&settings);
        cfsetspeed(&settings, speed);
        ::tcsetattr(fd_.get(), TCSANOW, &settings);
    }

    // Writes everything, letting the event loop run while the line is full.
    bool WriteAll(std::string_view bytes, std::string& received, LineEnd& other)
    {
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd_.get(), bytes.data(), bytes.size());
            if (n > 0)
                bytes.remove_prefix(static_cast<std::size_t>(n));
            else if (errno != EAGAIN)
                return false;
            other.ReadInto(received);
            QCoreApplication::processEvents();
        }
        return true;
    }

    void ReadInto(std::string& received)
    {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fd_.get(), buffer, sizeof buffer)) > 0)
            received.append(buffer, static_cast<std::size_t>(n));
    }

private:
    UniqueFd fd_;
};

} // namespace

TEST(NullModem, CarriesLargeAmountsIntactWhenBothEndsAgree)
{
    PseudoTerminal tester(kNonBlocking), board(kNonBlocking);
    NullModem cable(tester, board);
    LineEnd from(tester.SlavePath()), to(board.SlavePath());

    std::mt19937 random(1);
    std::string sent(1 << 20, '\0');
    for (char& c : sent)
        c = static_cast<char>(random());
    std::string received;
    ASSERT_TRUE(from.WriteAll(sent, received, to));
    EXPECT_TRUE(QTest::qWaitFor([&] {
        to.ReadInto(received);
        return received.size() >= sent.size();
    }, 20000));
    EXPECT_TRUE(received == sent) << "received " << received.size() << " of " << sent.size();
}

TEST(NullModem, BaudMismatchArrivesAsGarbage)
{
    PseudoTerminal tester(kNonBlocking), board(kNonBlocking);
    NullModem cable(tester, board);
    LineEnd from(tester.SlavePath(), B9600), to(board.SlavePath(), B2400);
    const std::string line = "        88:88:88.888  \r";
    std::string received;
    ASSERT_TRUE(from.WriteAll(line, received, to));
    EXPECT_TRUE(QTest::qWaitFor([&] {
        to.ReadInto(received);
        return !received.empty();
    }, 5000));
    QTest::qWait(50); // the rest of the garbage, if any
    to.ReadInto(received);
    EXPECT_NE(received, line);
}

TEST(NullModem, SurvivesTheTesterClosingAndReopening)
{
    PseudoTerminal tester(kNonBlocking), board(kNonBlocking);
    NullModem cable(tester, board);
    LineEnd to(board.SlavePath());
    std::string received;
    for (int round = 0; round < 3; ++round) {
        LineEnd from(tester.SlavePath());
        ASSERT_TRUE(from.WriteAll("K    5\r", received, to));
        EXPECT_TRUE(QTest::qWaitFor([&] {
            to.ReadInto(received);
            return received.size() == 7u * static_cast<std::size_t>(round + 1);
        }, 5000)) << "round " << round;
    }
}
