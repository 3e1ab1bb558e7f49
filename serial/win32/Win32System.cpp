// Before windows.h, whose "interface" macro would rename a member of ComNames::Device.
#include "os/ComNames.h"

#include "serial/win32/Win32Line.h"
#include "serial/win32/Win32System.h"

std::unique_ptr<ComLine> Win32System::OpenLine(const std::string& name)
{
    // "\\.\COMn" opens every COM number, the ones from 10 on too; other names are the system's
    // own.
    const int number = ComNames::Number(name);
    const std::string path = number ? "\\\\.\\COM" + std::to_string(number) : name;
    HANDLE device = INVALID_HANDLE_VALUE;
    // The system's own number: ERROR_ACCESS_DENIED here is another program holding the port.
    if (const DWORD error = api_->OpenDevice(path, device))
        throw ComLine::Failure{static_cast<int>(error), "CreateFile"};
    return std::make_unique<Win32Line>(api_, device);
}

std::shared_ptr<ComSystem> ComSystem::Native()
{
    return std::make_shared<Win32System>(CommApi::Native());
}
