#include "os/SystemText.h"

#include <cctype>

std::string TrimmedSystemText(std::string text)
{
    while (!text.empty()) {
        const auto last = static_cast<unsigned char>(text.back());
        if (last != '.' && last != ' ' && !std::iscntrl(last))
            break;
        text.pop_back();
    }
    return text;
}
