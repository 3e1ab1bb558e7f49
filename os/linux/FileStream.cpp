#include "os/FileStream.h"

FileStream OpenFileStream(const std::string& name, const std::string& mode)
{
    // "e": close-on-exec.
    return FileStream(std::fopen(name.c_str(), (mode + 'e').c_str()));
}
