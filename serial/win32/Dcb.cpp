#include "serial/win32/Dcb.h"

void CopyToDcb(const LineSettings& settings, DCB& record)
{
    if (const int bps = BitsPerSecond(settings.baudRate))
        record.BaudRate = static_cast<DWORD>(bps);
    if (settings.dataBits != dbDefault)
        record.ByteSize = static_cast<BYTE>(settings.dataBits - db4 + 4);
    if (settings.parity != paDefault)
        record.Parity = static_cast<BYTE>(settings.parity - paNone); // NOPARITY ... SPACEPARITY
    if (settings.stopBits != sbDefault)
        record.StopBits = static_cast<BYTE>(settings.stopBits - sb1); // ONESTOPBIT ... TWOSTOPBITS
    record.XonChar = settings.xOn;
    record.XoffChar = settings.xOff;
    record.ErrorChar = settings.error;
    record.EofChar = settings.eof;
    record.EvtChar = settings.event;
    if (settings.dtr != dcDefault)
        record.fDtrControl = static_cast<DWORD>(settings.dtr - dcDisable);
    if (settings.rts != rcDefault)
        record.fRtsControl = static_cast<DWORD>(settings.rts - rcDisable);
    if (settings.xOnXOff != xcDefault) {
        record.fInX = settings.xOnXOff == xcInput || settings.xOnXOff == xcInputOutput;
        record.fOutX = settings.xOnXOff == xcOutput || settings.xOnXOff == xcInputOutput;
    }
    record.XonLim = settings.xOnLimit;
    record.XoffLim = settings.xOffLimit;
    const TOptions& options = settings.options;
    record.fParity = options.test(opCheckParity);
    record.fOutxCtsFlow = options.test(opOutputCTSFlow);
    record.fOutxDsrFlow = options.test(opOutputDSRFlow);
    record.fDsrSensitivity = options.test(opDSRSensitivity);
    record.fTXContinueOnXoff = options.test(opTXContinueOnXOff);
    record.fErrorChar = options.test(opUseErrorChar);
    record.fNull = options.test(opDiscardNullBytes);
    record.fAbortOnError = options.test(opAbortOnError);
    record.fBinary = 1;
}

WireTime WireTimeOf(const DCB& record)
{
    // One and a half stop bits round up: a wait that is a little long loses nothing.
    const int stopBits = record.StopBits == ONESTOPBIT ? 1 : 2;
    const int parity = record.Parity == NOPARITY ? 0 : 1;
    return {static_cast<int>(record.BaudRate), 1 + record.ByteSize + parity + stopBits};
}
