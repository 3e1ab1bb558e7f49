#include "protocol/Recording.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace protocol {
namespace {

constexpr std::string_view kSerial = "serial";
constexpr std::string_view kUdp = "udp";

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

struct Unquoted {
    std::string bytes;
    std::string error; // why the text is not quoted bytes; empty when it is
};

Unquoted Unquote(std::string_view text)
{
    if (text.size() < 2 || text.front() != '"' || text.back() != '"')
        return Unquoted{{}, "the bytes are not in double quotes"};
    text = text.substr(1, text.size() - 2);
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"' || static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            return Unquoted{{}, "a byte that must be escaped stands unescaped in the quotes"};
        if (c != '\\') {
            bytes += c;
            continue;
        }
        if (++i == text.size())
            return Unquoted{{}, "an unfinished escape"};
        switch (text[i]) {
        case '\\': bytes += '\\'; break;
        case '"': bytes += '"'; break;
        case 'r': bytes += '\r'; break;
        case 'n': bytes += '\n'; break;
        case 't': bytes += '\t'; break;
        case 'x':
            if (i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
                bytes += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
                i += 2;
                break;
            }
            [[fallthrough]];
        default:
            return Unquoted{{}, "an unknown escape: \\" + std::string(1, text[i])};
        }
    }
    return Unquoted{std::move(bytes), {}};
}

} // namespace

std::string EscapeBytes(std::string_view bytes)
{
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\\': text += "\\\\"; break;
        case '"': text += "\\\""; break;
        case '\r': text += "\\r"; break;
        case '\n': text += "\\n"; break;
        case '\t': text += "\\t"; break;
        default:
            if (byte < 0x20 || byte >= 0x7F) {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02X", byte);
                text += hex;
            } else {
                text += c;
            }
        }
    }
    return text;
}

std::string RecordingLine(const RecordedText& text)
{
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.6f", text.seconds);
    return std::string(seconds) + " " + std::string(text.udp ? kUdp : kSerial) + " \"" +
           EscapeBytes(text.bytes) + "\"";
}

std::variant<std::vector<RecordedText>, RecordingError> ParseRecording(std::string_view file)
{
    std::vector<RecordedText> entries;
    int number = 0;
    while (!file.empty()) {
        ++number;
        const std::size_t end = file.find('\n');
        std::string_view line = file.substr(0, end);
        file = end == std::string_view::npos ? std::string_view() : file.substr(end + 1);
        if (line.ends_with('\r'))
            line.remove_suffix(1); // saved by a Windows editor
        if (line.empty() || line.front() == '#')
            continue;
        const auto refuse = [number](std::string reason) { return RecordingError{number, std::move(reason)}; };

        const std::size_t firstBlank = line.find(' ');
        const std::size_t secondBlank = line.find(' ', firstBlank == std::string_view::npos ? firstBlank : firstBlank + 1);
        if (secondBlank == std::string_view::npos)
            return refuse("an entry is the seconds, the route and the quoted bytes");
        RecordedText entry;
        const std::string_view seconds = line.substr(0, firstBlank);
        const auto [past, error] = std::from_chars(seconds.data(), seconds.data() + seconds.size(), entry.seconds);
        if (error != std::errc() || past != seconds.data() + seconds.size() || !std::isfinite(entry.seconds) ||
            entry.seconds < 0)
            return refuse(std::string(1, '"').append(seconds).append("\" is no number of seconds"));
        const std::string_view route = line.substr(firstBlank + 1, secondBlank - firstBlank - 1);
        if (route != kSerial && route != kUdp)
            return refuse(std::string("the route \"").append(route).append("\" is neither serial nor udp"));
        entry.udp = route == kUdp;
        Unquoted bytes = Unquote(line.substr(secondBlank + 1));
        if (!bytes.error.empty())
            return refuse(std::move(bytes.error));
        entry.bytes = std::move(bytes.bytes);
        if (entry.bytes.empty())
            return refuse("an entry sends at least one byte");
        entries.push_back(std::move(entry));
    }
    return entries;
}

} // namespace protocol
