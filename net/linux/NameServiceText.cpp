#include "net/NameService.h"

#include <netdb.h>

std::string NameServiceText(int error)
{
    return ::gai_strerror(error);
}
