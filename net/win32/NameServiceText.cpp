#include "net/NameService.h"

#include "os/SystemText.h"

std::string NameServiceText(int error)
{
    // getaddrinfo's numbers are the socket layer's, whose texts are the system's.
    return SystemText(error);
}
