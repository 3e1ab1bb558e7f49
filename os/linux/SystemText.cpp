#include "os/SystemText.h"

#include <cstring>

std::string SystemText(int error)
{
    char buffer[256];
    return TrimmedSystemText(strerror_r(error, buffer, sizeof buffer));
}
