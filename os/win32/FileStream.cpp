#include "os/FileStream.h"

#include "os/win32/WideText.h"

FileStream OpenFileStream(const std::string& name, const std::string& mode)
{
    // "N": not inherited by child processes.
    return FileStream(::_wfopen(Wide(name).c_str(), Wide(mode + 'N').c_str()));
}
