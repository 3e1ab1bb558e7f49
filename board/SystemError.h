#pragma once
// The board's failures carry the failing operation and the system's own text for errno.

#include "lang/Exceptions.h"
#include "os/SystemText.h"

#include <string>

namespace board {

inline Exception SystemError(const std::string& what, int error)
{
    return Exception(what + ": " + SystemText(error));
}

} // namespace board
