#include "board/DatagramDecoder.h"

#include "protocol/LyraCommands.h"

#include <gtest/gtest.h>
#include <random>

using namespace board;

namespace {

class DatagramDecoderTest : public testing::Test {
protected:
    DatagramDecoderTest()
    {
        input_.OnLine = [this](const LineEvent& event) { log_.push_back("line " + event.raw); };
        input_.OnCommand = [this](const CommandEvent& event) {
            log_.push_back(std::string("command ") + KindName(event.command.kind));
            EXPECT_EQ(event.route, Route::Udp);
        };
    }

    BoardState state_;
    BoardInput input_{state_};
    DatagramDecoder decoder_{input_};
    std::vector<std::string> log_;
};

const std::string kLine(protocol::kAllDigits);

} // namespace

TEST_F(DatagramDecoderTest, LineAndCommandInOneDatagram)
{
    decoder_.Decode(protocol::BrightnessCommand(4) + kLine);
    // Strings are read first, as the serial channel does; the 23-byte line is a string too,
    // but no command.
    EXPECT_EQ(log_, (std::vector<std::string>{"command brightness", "line " + kLine}));
    EXPECT_EQ(state_.Brightness(), 4);
    EXPECT_EQ(state_.Shown().Range(9, 20), "88:88:88.888");
}

TEST_F(DatagramDecoderTest, AStrayDatagramNeitherShiftsNorSwallowsTheNextLine)
{
    // Half a line, one byte, a command without its carriage return.
    for (const std::string& stray : {kLine.substr(0, 13), std::string("X"), std::string("K    5")}) {
        decoder_.Decode(stray);
        decoder_.Decode(kLine);
    }
    EXPECT_EQ(log_, std::vector<std::string>(3, "line " + kLine));
}

TEST_F(DatagramDecoderTest, HugeRandomDatagramsDoNotStopLaterLines)
{
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::size_t size : {65507u, 1u, 0u, 4096u}) {
        std::string noise(size, '\0');
        for (char& c : noise)
            c = static_cast<char>(byte(random));
        decoder_.Decode(noise);
    }
    log_.clear();
    decoder_.Decode(kLine);
    decoder_.Decode(protocol::TimeoutCommand(3));
    EXPECT_EQ(log_, (std::vector<std::string>{"line " + kLine, "command timeout"}));
    EXPECT_EQ(state_.TimeoutPosition(), 3);
}

TEST_F(DatagramDecoderTest, LineForAnotherBoardIsReportedButNotShown)
{
    BoardState mine('A');
    BoardInput input(mine);
    std::vector<bool> shown;
    input.OnLine = [&shown](const LineEvent& event) { shown.push_back(event.shown); };
    DatagramDecoder decoder(input);
    decoder.Decode("B" + kLine);
    decoder.Decode("A" + std::string(protocol::kBlank));
    EXPECT_EQ(shown, (std::vector<bool>{false, true}));
    EXPECT_EQ(mine.Shown().Range(9, 20), "  :  .  .   ");
}
