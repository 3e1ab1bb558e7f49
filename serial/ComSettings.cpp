#include "serial/ComSettings.h"

// Line settings go to the device as one record, so any change rewrites all of them.
template <typename T> void TFlowControl::Change(T& field, T value)
{
    if (Store(field, value) && changed_)
        changed_();
}

template <typename T> void TCharacters::Change(T& field, T value)
{
    if (Store(field, value) && changed_)
        changed_();
}

void TFlowControl::SetDTR(TDTRControl value) { Change(dtr_, value); }
void TFlowControl::SetRTS(TRTSControl value) { Change(rts_, value); }
void TFlowControl::SetXOnXOff(TXOnXOffControl value) { Change(xOnXOff_, value); }
void TFlowControl::SetXOnLimit(std::uint16_t value) { Change(xOnLimit_, value); }
void TFlowControl::SetXOffLimit(std::uint16_t value) { Change(xOffLimit_, value); }

void TCharacters::SetXOn(char value) { Change(xOn_, value); }
void TCharacters::SetXOff(char value) { Change(xOff_, value); }
void TCharacters::SetError(char value) { Change(error_, value); }
void TCharacters::SetEof(char value) { Change(eof_, value); }
void TCharacters::SetEvent(char value) { Change(event_, value); }
