#include "serial/ComSettings.h"

#include "serial/ComPort.h"

namespace {
// Line settings go to the device as one record, so any change rewrites all of them.
template <typename T> void Change(TCustomComPort& port, T& field, T value)
{
    if (field == value)
        return;
    field = value;
    port.SetComDCB();
}
} // namespace

void TFlowControl::SetDTR(TDTRControl value) { Change(port_, dtr_, value); }
void TFlowControl::SetRTS(TRTSControl value) { Change(port_, rts_, value); }
void TFlowControl::SetXOnXOff(TXOnXOffControl value) { Change(port_, xOnXOff_, value); }
void TFlowControl::SetXOnLimit(std::uint16_t value) { Change(port_, xOnLimit_, value); }
void TFlowControl::SetXOffLimit(std::uint16_t value) { Change(port_, xOffLimit_, value); }

void TCharacters::SetXOn(char value) { Change(port_, xOn_, value); }
void TCharacters::SetXOff(char value) { Change(port_, xOff_, value); }
void TCharacters::SetError(char value) { Change(port_, error_, value); }
void TCharacters::SetEof(char value) { Change(port_, eof_, value); }
void TCharacters::SetEvent(char value) { Change(port_, event_, value); }
