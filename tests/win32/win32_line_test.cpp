// The Windows serial line over scripted Win32 calls: what real drivers do and a pseudo-terminal
// under wine cannot show.
#include "ScriptedComm.h"
#include "Waiting.h"

#include "serial/ComPort.h"
#include "serial/win32/Win32System.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// A display line: 22 characters and its carriage return.
std::string Line(char digit) { return std::string(22, digit) + "\r"; }

// A port on scripted calls that records every error it raises.
class Win32Port : public ::testing::Test {
protected:
    void SetUp() override
    {
        port.SetDeviceName("COM5");
        port.SetOnError([this](TCustomComPort*, EComError& error, TComAction& action) {
            errors.emplace_back(error.ErrorCode(), error.Message());
            action = caAbort;
        });
    }

    // Writes unless the port refuses; true when it took the line.
    bool Send(const std::string& line)
    {
        try {
            port.WriteString(line);
            return true;
        } catch (const EAbort&) {
            return false;
        }
    }

    using Errors = std::vector<std::pair<int, std::string>>;
    std::shared_ptr<ScriptedComm> comm = std::make_shared<ScriptedComm>();
    TComPort port{nullptr, std::make_shared<Win32System>(comm)};
    Errors errors;
};

} // namespace

TEST_F(Win32Port, ALineLeavesAtTheRateSetAndTheSettingsFoundAtOpenComeBack)
{
    port.SetBaudRate(br19200);
    port.Open();
    EXPECT_EQ(comm->State().BaudRate, 19200u);
    ASSERT_TRUE(Send(Line('8')));
    ASSERT_TRUE(WaitUntil([&] { return comm->AllLeft(); }));
    port.Close();
    EXPECT_EQ(comm->Wire(), Line('8'));
    EXPECT_EQ(comm->State().BaudRate, 9600u);
    EXPECT_FALSE(comm->Open());
    EXPECT_EQ(errors, Errors{});
}

TEST_F(Win32Port, EventsComeFromWaitsOrFromLooksAtTheQueuesOfADeviceThatCannotWait)
{
    std::string received;
    int emptied = 0;
    port.SetOnRxChar([&](QObject*) { received += port.ReadString(); });
    port.SetOnTxEmpty([&](QObject*) { ++emptied; });
    port.Open();
    comm->Receive("abc");
    ASSERT_TRUE(WaitUntil([&] { return received == "abc"; }));
    ASSERT_TRUE(Send("x"));
    EXPECT_TRUE(WaitUntil([&] { return emptied > 0; }));
    EXPECT_GT(comm->WaitsStarted(), 0);
    port.Close();

    // Wine on a pseudo-terminal, asked for modem lines, refuses to wait at all.
    comm->RefuseWaits(ERROR_NOT_SUPPORTED);
    received.clear();
    port.Open();
    comm->Receive("def");
    EXPECT_TRUE(WaitUntil([&] { return received == "def"; }));
    EXPECT_EQ(errors, Errors{});
}
