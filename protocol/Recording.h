#pragma once
// A recording of what a board took: one entry per line, readable and editable as text,
//
//   12.345678 serial "        88:88:88.888  \r"
//
// the seconds since the recording began, the route the text came by (serial or udp) and its
// exact bytes in double quotes, with \\, \", \r, \n, \t and \xHH for every other byte outside
// printable ASCII. Lines starting with # and empty lines are remarks.

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace protocol {

struct RecordedText {
    double seconds = 0;
    bool udp = false; // otherwise serial
    std::string bytes;

    friend bool operator==(const RecordedText&, const RecordedText&) = default;
};

std::string EscapeBytes(std::string_view bytes);
// One entry, without its line end.
std::string RecordingLine(const RecordedText& text);

struct RecordingError {
    int lineNumber = 0;
    std::string reason;
};
// Every entry of a recording, in file order, or the first line that is not one.
std::variant<std::vector<RecordedText>, RecordingError> ParseRecording(std::string_view file);

} // namespace protocol
