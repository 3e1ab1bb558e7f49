#include "board/NullModem.h"
#include "support/FarEnd.h"

#include <gtest/gtest.h>
#include <random>

using board::NullModem;

namespace {

constexpr auto kNonBlocking = PseudoTerminal::MasterMode::NonBlocking;

// Writes all of `bytes` from one program's end of the cable, while the other end reads.
bool Carry(FarEnd& from, std::string_view bytes, FarEnd& to, std::string& received)
{
    return from.Write(bytes, std::chrono::seconds(20), [&] { received += to.Take(); });
}

} // namespace

TEST(NullModem, CarriesLargeAmountsIntactWhenBothEndsAgree)
{
    PseudoTerminal tester(kNonBlocking), board(kNonBlocking);
    NullModem cable(tester, board);
    FarEnd from(tester.SlavePath(), B2400), to(board.SlavePath(), B2400);

    std::mt19937 random(1);
    std::string sent(1 << 20, '\0');
    for (char& c : sent)
        c = static_cast<char>(random());
    std::string received;
    ASSERT_TRUE(Carry(from, sent, to, received));
    received += to.Read(sent.size() - received.size(), std::chrono::seconds(20));
    EXPECT_TRUE(received == sent) << "received " << received.size() << " of " << sent.size();
}

TEST(NullModem, BaudMismatchArrivesAsGarbage)
{
    PseudoTerminal tester(kNonBlocking), board(kNonBlocking);
    NullModem cable(tester, board);
    FarEnd from(tester.SlavePath(), B9600), to(board.SlavePath(), B2400);
    const std::string line = "        88:88:88.888  \r";
    std::string received;
    ASSERT_TRUE(Carry(from, line, to, received));
    received += to.Read(1);
    received += to.ReadAvailable(std::chrono::milliseconds(50)); // the rest of the garbage, if any
    EXPECT_FALSE(received.empty());
    EXPECT_NE(received, line);
}

TEST(NullModem, SurvivesTheTesterClosingAndReopening)
{
    PseudoTerminal tester(kNonBlocking), board(kNonBlocking);
    NullModem cable(tester, board);
    FarEnd to(board.SlavePath(), B2400);
    std::string received;
    for (int round = 0; round < 3; ++round) {
        FarEnd from(tester.SlavePath(), B2400);
        ASSERT_TRUE(Carry(from, "K    5\r", to, received));
        received += to.Read(7u * static_cast<std::size_t>(round + 1) - received.size());
        EXPECT_EQ(received.size(), 7u * static_cast<std::size_t>(round + 1)) << "round " << round;
    }
}
