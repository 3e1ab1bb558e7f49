// The port without a device: its state after construction, the error path, the rules for
// settings while Closed, and how line settings become a termios record.
#include "serial/ComPort.h"
#include "serial/LineSettings.h"
#include "serial/linux/TermiosSettings.h"

#include "support/CatchComError.h"
#include "support/PortsDirectory.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <type_traits>

namespace {

const char* const kClosed = "Can't perform this operation on a closed port";

// Whoever catches the general exception catches the port's errors too.
static_assert(std::is_base_of_v<Exception, EComError>);

} // namespace

TEST(ComPortState, NewPortHasTheDocumentedDefaults)
{
    const PortsDirectory ports;
    TComPort port(ports.Names());
    EXPECT_EQ(port.DeviceName(), "COM1");
    EXPECT_FALSE(port.GetActive());
    EXPECT_EQ(port.BaudRate(), brDefault);
    EXPECT_EQ(port.DataBits(), dbDefault);
    EXPECT_EQ(port.Parity(), paDefault);
    EXPECT_EQ(port.StopBits(), sbDefault);
    EXPECT_TRUE(port.Options().none());
    EXPECT_EQ(port.FlowControl().DTR(), dcDefault);
    EXPECT_EQ(port.FlowControl().RTS(), rcDefault);
    EXPECT_EQ(port.FlowControl().XOnXOff(), xcDefault);
    EXPECT_EQ(port.FlowControl().XOnLimit(), 0);
    EXPECT_EQ(port.FlowControl().XOffLimit(), 0);
    EXPECT_EQ(port.BufferSizes().Input(), 4096);
    EXPECT_EQ(port.BufferSizes().Output(), 2048);
    EXPECT_EQ(port.Timeouts().ReadInterval(), 0);
    EXPECT_EQ(port.Timeouts().ReadMultiplier(), 0);
    EXPECT_EQ(port.Timeouts().ReadConstant(), 0);
    EXPECT_EQ(port.Timeouts().WriteMultiplier(), 0);
    EXPECT_EQ(port.Timeouts().WriteConstant(), 0);
    EXPECT_EQ(port.Characters().XOn(), 17);
    EXPECT_EQ(port.Characters().XOff(), 19);
    EXPECT_EQ(port.Characters().Error(), 0);
    EXPECT_EQ(port.Characters().Eof(), 0);
    EXPECT_EQ(port.Characters().Event(), 0);
    EXPECT_TRUE(port.SynchronizeEvents());
    EXPECT_EQ(port.ThreadPriority(), tpTimeCritical);
    EXPECT_EQ(port.EventMask(), 0u);
    EXPECT_FALSE(port.HasEventThread());
}

TEST(ComPortState, SettingsWhileClosedAreOnlyStored)
{
    const PortsDirectory ports;
    TComPort port(ports.Names());
    port.SetBaudRate(br2400);
    port.SetDataBits(db7);
    port.SetStopBits(sb2);
    port.FlowControl().SetXOnXOff(xcInputOutput);
    port.SetOnRxChar([](QObject*) {});
    port.SetDeviceName("COM7");
    port.SetSynchronizeEvents(false);
    EXPECT_EQ(port.BaudRate(), br2400);
    // A member without a row in the rate table would leave the device at its old rate.
    EXPECT_STREQ(CatchComError([&] { port.SetBaudRate(brCustom); }).what(), "Unsupported baud rate");
    EXPECT_EQ(port.BaudRate(), br2400);
    EXPECT_EQ(port.DataBits(), db7);
    EXPECT_EQ(port.StopBits(), sb2);
    EXPECT_EQ(port.FlowControl().XOnXOff(), xcInputOutput);
    EXPECT_EQ(port.DeviceName(), "COM7");
    EXPECT_FALSE(port.SynchronizeEvents());
    EXPECT_EQ(port.EventMask(), 0u) << "the mask is computed when the port opens";
    EXPECT_FALSE(port.HasEventThread());
}

// Without an OnError handler, each error reaches the caller with its code and text.
TEST(ComPortErrors, EveryTransferOnAClosedPortFailsWithTheClosedPortMessage)
{
    const PortsDirectory ports;
    TComPort port(ports.Names());
    char buffer[4];
    const std::vector<std::pair<const char*, std::function<void()>>> operations = {
        {"WriteString", [&] { port.WriteString("abc"); }},
        {"WriteString empty", [&] { port.WriteString(""); }},
        {"WriteChar", [&] { port.WriteChar('x'); }},
        {"Write", [&] { port.Write(buffer, 4, false); }},
        {"Read", [&] { port.Read(buffer, 4, true); }},
        {"ReadString", [&] { port.ReadString(); }},
        {"InputCount", [&] { port.InputCount(); }},
        {"SetDTR", [&] { port.SetDTR(); }},
        {"GetModemStatus", [&] { port.GetModemStatus(); }},
        {"CheckActive", [&] { port.CheckActive(); }},
    };
    for (const auto& [name, operation] : operations) {
        const EComError error = CatchComError(operation);
        EXPECT_EQ(error.ErrorCode(), 0) << name;
        EXPECT_STREQ(error.what(), kClosed) << name;
    }
    EXPECT_NO_THROW(port.PurgeOutput());
    EXPECT_NO_THROW(port.Close());
    EXPECT_NO_THROW(port.CheckInactive());
}

TEST(ComPortErrors, OnErrorSeesEveryErrorAndMayTurnItIntoTheSilentAbort)
{
    const PortsDirectory ports;
    TComPort port(ports.Names());
    int seenCode = -1;
    std::string seenText;
    TCustomComPort* seenPort = nullptr;
    TComAction answer = caFail;
    port.SetOnError([&](TCustomComPort* sender, EComError& error, TComAction& action) {
        seenPort = sender;
        seenCode = error.ErrorCode();
        seenText = error.Message();
        EXPECT_EQ(action, caFail) << "the action starts as caFail";
        action = answer;
    });

    const EComError failed = CatchComError([&] { port.RaiseError(42, "Something broke"); });
    EXPECT_EQ(failed.ErrorCode(), 42);
    EXPECT_EQ(failed.Message(), "Something broke");
    EXPECT_EQ(seenPort, &port);
    EXPECT_EQ(seenCode, 42);

    answer = caAbort;
    EXPECT_THROW(port.WriteString("x"), EAbort);
    EXPECT_EQ(seenText, kClosed);
    EXPECT_EQ(seenCode, 0);
}

TEST(LineSettingsRecord, DefaultMembersLeaveTheDevicesFieldsAlone)
{
    termios record{};
    cfsetospeed(&record, B4800);
    cfsetispeed(&record, B4800);
    record.c_cflag |= CS7 | PARENB | PARODD | CSTOPB;
    record.c_iflag |= IXON;
    int custom = -1;
    ASSERT_EQ(CopyToTermios(LineSettings{}, record, custom), 0);
    EXPECT_EQ(custom, 0);
    EXPECT_EQ(cfgetospeed(&record), B4800);
    EXPECT_EQ(record.c_cflag & CSIZE, tcflag_t(CS7));
    EXPECT_TRUE(record.c_cflag & PARENB);
    EXPECT_TRUE(record.c_cflag & PARODD);
    EXPECT_TRUE(record.c_cflag & CSTOPB);
    EXPECT_TRUE(record.c_iflag & IXON);
}

TEST(LineSettingsRecord, AlwaysRawBinaryWithTheFlowCharacters)
{
    termios record{};
    record.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    record.c_oflag = OPOST;
    record.c_iflag = ICRNL | INLCR | IGNCR | ISTRIP;
    record.c_cc[VMIN] = 1;
    record.c_cc[VTIME] = 5;
    LineSettings settings;
    settings.xOn = 'Q';
    settings.xOff = 'S';
    int custom = 0;
    ASSERT_EQ(CopyToTermios(settings, record, custom), 0);
    EXPECT_EQ(record.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(record.c_oflag & OPOST, 0u);
    EXPECT_EQ(record.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(record.c_cc[VMIN], 0);
    EXPECT_EQ(record.c_cc[VTIME], 0);
    EXPECT_TRUE(record.c_cflag & CREAD);
    EXPECT_TRUE(record.c_cflag & CLOCAL);
    EXPECT_EQ(record.c_cc[VSTART], 'Q');
    EXPECT_EQ(record.c_cc[VSTOP], 'S');
}

TEST(LineSettingsRecord, RatesWithoutATermiosConstantGoThroughTheCustomPath)
{
    const std::vector<std::pair<TBaudRate, int>> custom = {
        {br2000, 2000}, {br3600, 3600}, {br7200, 7200}, {br10400, 10400}, {br14400, 14400},
        {br15625, 15625}, {br28800, 28800}, {br56000, 56000}, {br128000, 128000},
        {br256000, 256000}};
    for (const auto& [rate, bps] : custom) {
        termios record{};
        LineSettings settings;
        settings.baudRate = rate;
        int customRate = 0;
        ASSERT_EQ(CopyToTermios(settings, record, customRate), 0);
        EXPECT_EQ(customRate, bps);
        EXPECT_EQ(BitsPerSecond(rate), bps);
    }
    const std::vector<std::pair<TBaudRate, speed_t>> standard = {
        {br50, B50}, {br1800, B1800}, {br2400, B2400}, {br9600, B9600}, {br19200, B19200},
        {br38400, B38400}, {br57600, B57600}, {br115200, B115200}};
    for (const auto& [rate, speed] : standard) {
        termios record{};
        LineSettings settings;
        settings.baudRate = rate;
        int customRate = -1;
        ASSERT_EQ(CopyToTermios(settings, record, customRate), 0);
        EXPECT_EQ(customRate, 0);
        EXPECT_EQ(cfgetospeed(&record), speed);
        EXPECT_EQ(cfgetispeed(&record), speed);
    }
    EXPECT_EQ(BitsPerSecond(brDefault), 0);
    EXPECT_EQ(BitsPerSecond(brCustom), 0);
}

TEST(LineSettingsRecord, ShapesWithoutALinuxFormAreInvalidArguments)
{
    termios record{};
    int custom = 0;
    LineSettings fourBits;
    fourBits.dataBits = db4;
    EXPECT_EQ(CopyToTermios(fourBits, record, custom), -EINVAL);
    LineSettings oneAndAHalf;
    oneAndAHalf.stopBits = sb1_5;
    EXPECT_EQ(CopyToTermios(oneAndAHalf, record, custom), -EINVAL);
}

TEST(LineSettingsRecord, MarkAndSpaceParityUseStickParity)
{
    struct Row {
        TParity parity;
        tcflag_t set;
        tcflag_t clear;
    };
    const std::vector<Row> rows = {
        {paNone, 0, PARENB | PARODD | CMSPAR},
        {paOdd, PARENB | PARODD, CMSPAR},
        {paEven, PARENB, PARODD | CMSPAR},
        {paMark, PARENB | PARODD | CMSPAR, 0},
        {paSpace, PARENB | CMSPAR, PARODD},
    };
    for (const Row& row : rows) {
        // Start from the opposite, so that every flag has to be written.
        termios record{};
        record.c_cflag = row.clear;
        LineSettings settings;
        settings.parity = row.parity;
        int custom = 0;
        ASSERT_EQ(CopyToTermios(settings, record, custom), 0);
        EXPECT_EQ(record.c_cflag & row.set, row.set) << int(row.parity);
        EXPECT_EQ(record.c_cflag & row.clear, 0u) << int(row.parity);
    }
}

TEST(LineSettingsRecord, SoftwareFlowDirectionsAndAlwaysWrittenOptions)
{
    auto apply = [](LineSettings settings, termios record) {
        int custom = 0;
        EXPECT_EQ(CopyToTermios(settings, record, custom), 0);
        return record;
    };
    LineSettings input;
    input.xOnXOff = xcInput; // we stop the far end: we send XOFF
    EXPECT_EQ(apply(input, termios{}).c_iflag & (IXON | IXOFF), tcflag_t(IXOFF));
    LineSettings output;
    output.xOnXOff = xcOutput; // the far end stops us
    EXPECT_EQ(apply(output, termios{}).c_iflag & (IXON | IXOFF), tcflag_t(IXON));

    LineSettings handshake;
    handshake.rts = rcHandshake;
    EXPECT_TRUE(apply(handshake, termios{}).c_cflag & CRTSCTS);
    termios on{};
    on.c_cflag = CRTSCTS;
    on.c_iflag = INPCK;
    const termios off = apply(LineSettings{}, on);
    EXPECT_FALSE(off.c_cflag & CRTSCTS) << "options are written whether set or not";
    EXPECT_FALSE(off.c_iflag & INPCK);
}
