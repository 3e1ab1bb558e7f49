#include "serial/linux/TermiosSettings.h"

#include "os/linux/TermiosRecord.h"

#include <cerrno>

namespace {

void SetFlag(tcflag_t& flags, tcflag_t flag, bool on)
{
    if (on)
        flags |= flag;
    else
        flags &= ~flag;
}

} // namespace

WireTime WireTimeOf(const termios& record, int bitsPerSecond)
{
    const int parity = (record.c_cflag & PARENB) ? 1 : 0;
    return {bitsPerSecond, 1 + DataBitsOf(record) + parity + StopBitsOf(record)};
}

int CopyToTermios(const LineSettings& settings, termios& record, int& customRate)
{
    customRate = 0;
    if (const int bps = BitsPerSecond(settings.baudRate)) {
        if (const auto speed = SpeedConstant(bps)) {
            cfsetispeed(&record, *speed);
            cfsetospeed(&record, *speed);
        } else {
            customRate = bps;
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
