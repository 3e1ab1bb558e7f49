#include "app/PortCure.h"

// A refusal on Windows means another program has the port; the system's text says so already.
QString PortCure(TComErrorKind, const ComNames&, const std::string&)
{
    return {};
}
