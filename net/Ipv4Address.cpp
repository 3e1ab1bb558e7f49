#include "net/Ipv4Address.h"

std::string DottedText(Ipv4Address address)
{
    const auto& b = address.bytes;
    return std::to_string(b[0]) + '.' + std::to_string(b[1]) + '.' + std::to_string(b[2]) + '.' +
           std::to_string(b[3]);
}
