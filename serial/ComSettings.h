#pragma once
// The settings groups a port owns. Each setter of a line-settings group stores a changed value
// and tells its owner, who reapplies the line settings to the open device; a value equal to the
// stored one changes nothing.

#include "serial/ComTypes.h"

#include <cstdint>
#include <functional>
#include <utility>

// Sets `field` to `value`; true when that changed it, so that a setter reapplies only a change.
template <typename T> bool Store(T& field, T value)
{
    if (field == value)
        return false;
    field = value;
    return true;
}

class TFlowControl {
public:
    explicit TFlowControl(std::function<void()> changed) : changed_(std::move(changed)) {}
    TFlowControl(const TFlowControl&) = delete;
    TFlowControl& operator=(const TFlowControl&) = delete;

    TDTRControl DTR() const { return dtr_; }
    TRTSControl RTS() const { return rts_; }
    TXOnXOffControl XOnXOff() const { return xOnXOff_; }
    std::uint16_t XOnLimit() const { return xOnLimit_; }
    std::uint16_t XOffLimit() const { return xOffLimit_; }

    void SetDTR(TDTRControl value);
    void SetRTS(TRTSControl value);
    void SetXOnXOff(TXOnXOffControl value);
    void SetXOnLimit(std::uint16_t value);
    void SetXOffLimit(std::uint16_t value);

private:
    template <typename T> void Change(T& field, T value);

    std::function<void()> changed_;
    TDTRControl dtr_ = dcDefault;
    TRTSControl rts_ = rcDefault;
    TXOnXOffControl xOnXOff_ = xcDefault;
    std::uint16_t xOnLimit_ = 0;
    std::uint16_t xOffLimit_ = 0;
};

class TCharacters {
public:
    explicit TCharacters(std::function<void()> changed) : changed_(std::move(changed)) {}
    TCharacters(const TCharacters&) = delete;
    TCharacters& operator=(const TCharacters&) = delete;

    char XOn() const { return xOn_; }
    char XOff() const { return xOff_; }
    char Error() const { return error_; }
    char Eof() const { return eof_; }
    char Event() const { return event_; }

    void SetXOn(char value);
    void SetXOff(char value);
    void SetError(char value);
    void SetEof(char value);
    void SetEvent(char value);

private:
    template <typename T> void Change(T& field, T value);

    std::function<void()> changed_;
    char xOn_ = 17;
    char xOff_ = 19;
    char error_ = 0;
    char eof_ = 0;
    char event_ = 0;
};

// The driver's queue sizes, applied when the port opens where the system has settable ones
// (Windows); on Linux they are only kept, for whoever reads them back.
class TBufferSizes {
public:
    TBufferSizes() = default;
    TBufferSizes(const TBufferSizes&) = delete;
    TBufferSizes& operator=(const TBufferSizes&) = delete;

    std::int32_t Input() const { return input_; }
    std::int32_t Output() const { return output_; }

    void SetInput(std::int32_t value) { input_ = value; }
    void SetOutput(std::int32_t value) { output_ = value; }

private:
    std::int32_t input_ = 4096;
    std::int32_t output_ = 2048;
};

// Milliseconds. Only the write values matter: WriteMultiplier * count + WriteConstant is a
// write's allowance (0 for both: the bytes' time on the line plus a second). Reads never wait,
// so the read values are only kept. The driver reads these at each write, so there is nothing
// to reapply.
class TTimeouts {
public:
    TTimeouts() = default;
    TTimeouts(const TTimeouts&) = delete;
    TTimeouts& operator=(const TTimeouts&) = delete;

    std::int32_t ReadInterval() const { return readInterval_; }
    std::int32_t ReadMultiplier() const { return readMultiplier_; }
    std::int32_t ReadConstant() const { return readConstant_; }
    std::int32_t WriteMultiplier() const { return writeMultiplier_; }
    std::int32_t WriteConstant() const { return writeConstant_; }

    void SetReadInterval(std::int32_t value) { readInterval_ = value; }
    void SetReadMultiplier(std::int32_t value) { readMultiplier_ = value; }
    void SetReadConstant(std::int32_t value) { readConstant_ = value; }
    void SetWriteMultiplier(std::int32_t value) { writeMultiplier_ = value; }
    void SetWriteConstant(std::int32_t value) { writeConstant_ = value; }

private:
    std::int32_t readInterval_ = 0;
    std::int32_t readMultiplier_ = 0;
    std::int32_t readConstant_ = 0;
    std::int32_t writeMultiplier_ = 0;
    std::int32_t writeConstant_ = 0;
};
