#pragma once
// Value types of the serial port driver: line settings with the table of rates, modem lines,
// line errors, event bits.
// Every enumeration that has a ...Default member uses it (value 0) for "leave the device's own
// setting as it is".

#include <algorithm>
#include <bitset>
#include <cstdint>
#include <iterator>
#include <optional>

enum TBaudRate : std::uint8_t {
    brDefault, br50, br75, br110, br150, br300, br600, br1200, br1800, br2000, br2400, br3600,
    br4800, br7200, br9600, br10400, br14400, br15625, br19200, br28800, br38400, br56000,
    br57600, br115200, br128000, br256000, brCustom
};

// The one table of rates: the channel's Baud, both systems' line settings and the rates the
// window offers go through it. brDefault (leave the device's rate) and brCustom (not supported)
// have no row; a rate without one is refused, never replaced.
struct BaudRateRow {
    TBaudRate rate;
    int bitsPerSecond;
};
inline constexpr BaudRateRow kBaudRates[] = {
    {br50, 50},         {br75, 75},         {br110, 110},       {br150, 150},
    {br300, 300},       {br600, 600},       {br1200, 1200},     {br1800, 1800},
    {br2000, 2000},     {br2400, 2400},     {br3600, 3600},     {br4800, 4800},
    {br7200, 7200},     {br9600, 9600},     {br10400, 10400},   {br14400, 14400},
    {br15625, 15625},   {br19200, 19200},   {br28800, 28800},   {br38400, 38400},
    {br56000, 56000},   {br57600, 57600},   {br115200, 115200}, {br128000, 128000},
    {br256000, 256000},
};
static_assert(std::size(kBaudRates) == brCustom - br50, "every rate member has its row");

// Bits per second of a member; 0 for brDefault and brCustom.
constexpr int BitsPerSecond(TBaudRate rate)
{
    const BaudRateRow* row = std::ranges::find(kBaudRates, rate, &BaudRateRow::rate);
    return row != std::end(kBaudRates) ? row->bitsPerSecond : 0;
}

// The member for bits per second; nothing for a rate the table lacks.
constexpr std::optional<TBaudRate> BaudRateOf(int bitsPerSecond)
{
    const BaudRateRow* row = std::ranges::find(kBaudRates, bitsPerSecond, &BaudRateRow::bitsPerSecond);
    return row != std::end(kBaudRates) ? std::optional(row->rate) : std::nullopt;
}

enum TDataBits : std::uint8_t { dbDefault, db4, db5, db6, db7, db8 };
enum TParity : std::uint8_t { paDefault, paNone, paOdd, paEven, paMark, paSpace };
enum TStopBits : std::uint8_t { sbDefault, sb1, sb1_5, sb2 };
enum TDTRControl : std::uint8_t { dcDefault, dcDisable, dcEnable, dcHandshake };
enum TRTSControl : std::uint8_t { rcDefault, rcDisable, rcEnable, rcHandshake, rcToggle };
enum TXOnXOffControl : std::uint8_t { xcDefault, xcDisable, xcInput, xcOutput, xcInputOutput };

enum TOption : std::uint8_t {
    opCheckParity, opOutputCTSFlow, opOutputDSRFlow, opDSRSensitivity, opTXContinueOnXOff,
    opUseErrorChar, opDiscardNullBytes, opAbortOnError
};
// Bit n stands for the option with value n.
using TOptions = std::bitset<8>;

enum TModemStatusValue : std::uint8_t { msCTS, msDSR, msRing, msRLSD };
using TModemStatus = std::bitset<4>;

// What the kernel counts per line: framing, parity and overrun errors, overflow of the tty's own
// input buffer, and received breaks.
enum TLineError : std::uint8_t { leBreak, leFrame, leOverrun, leParity, leRxOver };
using TLineErrors = std::bitset<5>;

enum TComAction : std::uint8_t { caFail, caAbort };

// What a failure means for the port, whatever number the system gave it: the device has gone
// away, another program holds it, the system refuses this user, a call ran out of time, the
// device cannot do what was asked; or anything else.
enum TComErrorKind : std::uint8_t { ekOther, ekGone, ekBusy, ekDenied, ekTimedOut, ekUnsupported };

enum TThreadPriority : std::uint8_t {
    tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical
};

// One bit per line event; a port asks for exactly the events that have a handler.
namespace ComEvent {
inline constexpr std::uint32_t RxChar = 0x0001;
inline constexpr std::uint32_t RxFlag = 0x0002;
inline constexpr std::uint32_t TxEmpty = 0x0004;
inline constexpr std::uint32_t CTS = 0x0008;
inline constexpr std::uint32_t DSR = 0x0010;
inline constexpr std::uint32_t RLSD = 0x0020;
inline constexpr std::uint32_t Break = 0x0040;
inline constexpr std::uint32_t Err = 0x0080;
inline constexpr std::uint32_t Ring = 0x0100;
inline constexpr std::uint32_t PErr = 0x0200;
inline constexpr std::uint32_t Rx80Full = 0x0400;
inline constexpr std::uint32_t Event1 = 0x0800;
inline constexpr std::uint32_t Event2 = 0x1000;

inline constexpr std::uint32_t ModemLines = CTS | DSR | RLSD | Ring;
inline constexpr std::uint32_t LineCounters = Break | Err;
} // namespace ComEvent
