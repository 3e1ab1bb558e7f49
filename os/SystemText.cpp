#include "os/SystemText.h"

#include <cctype>
#include <cstring>

std::string SystemText(int error)
{
    char buffer[256];
    std::string text = strerror_r(error, buffer, sizeof buffer);
    while (!text.empty()) {
        const auto last = static_cast<unsigned char>(text.back());
        if (last != '.' && last != ' ' && !std::iscntrl(last))
            break;
        text.pop_back();
    }
    return text;
}
