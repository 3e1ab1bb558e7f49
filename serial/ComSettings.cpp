#include "serial/ComSettings.h"

#include "serial/ComPort.h"

template <typename T> void TFlowControl::Change(T& field, T value)
{
    if (field == value)
        return;
    field = value;
    port_.SetComDCB();
}

void TFlowControl::SetDTR(TDTRControl value) { Change(dtr_, value); }
void TFlowControl::SetRTS(TRTSControl value) { Change(rts_, value); }
void TFlowControl::SetXOnXOff(TXOnXOffControl value) { Change(xOnXOff_, value); }
void TFlowControl::SetXOnLimit(std::uint16_t value) { Change(xOnLimit_, value); }
void TFlowControl::SetXOffLimit(std::uint16_t value) { Change(xOffLimit_, value); }

void TCharacters::Change(char& field, char value)
{
    if (field == value)
        return;
    field = value;
    port_.SetComDCB();
}

void TCharacters::SetXOn(char value) { Change(xOn_, value); }
void TCharacters::SetXOff(char value) { Change(xOff_, value); }
void TCharacters::SetError(char value) { Change(error_, value); }
void TCharacters::SetEof(char value) { Change(eof_, value); }
void TCharacters::SetEvent(char value) { Change(event_, value); }
