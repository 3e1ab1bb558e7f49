#include "serial/LineSettings.h"

#include <array>
#include <cerrno>
#include <utility>

namespace {

constexpr std::array<int, brCustom + 1> kRates = {
    0, 50, 75, 110, 150, 300, 600, 1200, 1800, 2000, 2400, 3600, 4800, 7200, 9600, 10400, 14400,
    15625, 19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000, 0};

// The rates termios names; the others go through BOTHER.
constexpr std::array<std::pair<int, speed_t>, 15> kSpeeds = {{
    {50, B50}, {75, B75}, {110, B110}, {150, B150}, {300, B300}, {600, B600}, {1200, B1200},
    {1800, B1800}, {2400, B2400}, {4800, B4800}, {9600, B9600}, {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}}};

void SetFlag(tcflag_t& flags, tcflag_t flag, bool on)
{
    if (on)
        flags |= flag;
    else
        flags &= ~flag;
}

} // namespace

int BitsPerSecond(TBaudRate rate)
{
    return rate < kRates.size() ? kRates[rate] : 0;
}

int SpeedBitsPerSecond(speed_t speed)
{
    switch (speed) {
    case B50: return 50;
    case B75: return 75;
    case B110: return 110;
    case B134: return 134;
    case B150: return 150;
    case B200: return 200;
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B1800: return 1800;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B500000: return 500000;
    case B576000: return 576000;
    case B921600: return 921600;
    case B1000000: return 1000000;
    case B1152000: return 1152000;
    case B1500000: return 1500000;
    case B2000000: return 2000000;
    case B2500000: return 2500000;
    case B3000000: return 3000000;
    case B3500000: return 3500000;
    case B4000000: return 4000000;
    default: return 0;
    }
}

WireTime WireTimeOf(const termios& record, int bitsPerSecond)
{
    int dataBits = 8;
    switch (record.c_cflag & CSIZE) {
    case CS5: dataBits = 5; break;
    case CS6: dataBits = 6; break;
    case CS7: dataBits = 7; break;
    default: break;
    }
    const int parity = (record.c_cflag & PARENB) ? 1 : 0;
    const int stopBits = (record.c_cflag & CSTOPB) ? 2 : 1;
    return {bitsPerSecond, 1 + dataBits + parity + stopBits};
}

int CopyToTermios(const LineSettings& settings, termios& record, int& customRate)
{
    customRate = 0;
    if (settings.baudRate != brDefault && settings.baudRate != brCustom) {
        const int bps = BitsPerSecond(settings.baudRate);
        customRate = bps;
        for (const auto& [rate, speed] : kSpeeds) {
            if (rate == bps) {
                cfsetispeed(&record, speed);
                cfsetospeed(&record, speed);
                customRate = 0;
            }
        }
    }

    switch (settings.dataBits) {
    case dbDefault: break;
    case db4: return -EINVAL;
    case db5: record.c_cflag = (record.c_cflag & ~CSIZE) | CS5; break;
    case db6: record.c_cflag = (record.c_cflag & ~CSIZE) | CS6; break;
    case db7: record.c_cflag = (record.c_cflag & ~CSIZE) | CS7; break;
    case db8: record.c_cflag = (record.c_cflag & ~CSIZE) | CS8; break;
    }

    if (settings.parity != paDefault) {
        const bool enabled = settings.parity != paNone;
        SetFlag(record.c_cflag, PARENB, enabled);
        SetFlag(record.c_cflag, PARODD, settings.parity == paOdd || settings.parity == paMark);
        SetFlag(record.c_cflag, CMSPAR, settings.parity == paMark || settings.parity == paSpace);
    }

    switch (settings.stopBits) {
    case sbDefault: break;
    case sb1: record.c_cflag &= ~CSTOPB; break;
    case sb1_5: return -EINVAL;
    case sb2: record.c_cflag |= CSTOPB; break;
    }

    record.c_cc[VSTART] = static_cast<cc_t>(settings.xOn);
    record.c_cc[VSTOP] = static_cast<cc_t>(settings.xOff);

    if (settings.xOnXOff != xcDefault) {
        SetFlag(record.c_iflag, IXOFF,
                settings.xOnXOff == xcInput || settings.xOnXOff == xcInputOutput);
        SetFlag(record.c_iflag, IXON,
                settings.xOnXOff == xcOutput || settings.xOnXOff == xcInputOutput);
    }

    // Linux has one switch for both directions of the RTS/CTS handshake.
    SetFlag(record.c_cflag, CRTSCTS,
            settings.options.test(opOutputCTSFlow) || settings.rts == rcHandshake);
    SetFlag(record.c_iflag, INPCK, settings.options.test(opCheckParity));

    // Raw binary: no line editing, echo, signals or character translation, and reads return
    // at once with whatever has arrived. CLOCAL keeps a dropped carrier from hanging us up.
    record.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY);
    record.c_oflag &= ~OPOST;
    record.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    record.c_cflag |= CREAD | CLOCAL;
    record.c_cc[VMIN] = 0;
    record.c_cc[VTIME] = 0;
    return 0;
}
