#include "DatagramDecoder.h"

#include "protocol/DisplayLine.h"
#include "serial/ReceiveDecoders.h"

namespace board {

void DatagramDecoder::Decode(std::string_view datagram)
{
    StringCollector strings;
    MarqLineCollector lines;
    strings.Collect(datagram, [this](const std::string& text) { input_.StringReceived(Route::Udp, text); });
    lines.Collect(datagram, [this](std::string_view line) {
        input_.MarqReceived(Route::Udp, protocol::DecodeDisplayLine(line), line);
    });
}

} // namespace board
