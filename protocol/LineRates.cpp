#include "protocol/LineRates.h"

namespace protocol {

std::vector<std::string> LineRateTexts()
{
    std::vector<std::string> texts;
    for (const LineRate& rate : kLineRates)
        texts.push_back(std::to_string(rate.bitsPerSecond));
    return texts;
}

} // namespace protocol
