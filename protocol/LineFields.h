#pragma once
// Filling the columns of a display line: the computer's clock, and the start number, time and
// place typed into the window.

#include <string>
#include <string_view>

namespace protocol {

// One reading of the local clock; all four values come from the same query.
struct ClockReading {
    int hour = 0;       // 0..23
    int minute = 0;
    int second = 0;
    int hundredths = 0; // milliseconds / 10
};

// Hours, minutes, seconds into columns 9-10, 12-13, 15-16, tenths into 18, hundredths' units
// into 19, except that 19 gets "0" at 2400 baud, where the line has no time for them.
std::string WithClock(std::string line, const ClockReading& clock, bool zeroHundredths);

// Columns 1-3 from the start-number field and 21-22 from the points/rank field, characters
// copied as they stand (the fields always read 3 and 2 characters).
std::string WithStartAndPlace(std::string line, std::string_view startNumber,
                              std::string_view place);

// A Send Data line: start number, "C" in column 4, the time field's digits (its own separators
// at positions 3, 6 and 9 are skipped; the template's stay) and the place.
std::string WithSendData(std::string line, std::string_view startNumber, std::string_view time,
                         std::string_view place);

} // namespace protocol
