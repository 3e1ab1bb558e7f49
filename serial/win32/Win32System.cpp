// Opening a communications device on Windows.
#include "os/ComNames.h"
#include "serial/win32/Win32Line.h"

namespace {

class Win32System : public ComSystem {
public:
    std::unique_ptr<ComLine> OpenLine(const std::string& name) override
    {
        // "\\.\COMn" opens every COM number, the ones from 10 on too; other names are the
        // system's own.
        const int number = ComNames::Number(name);
        const std::string path = number ? "\\\\.\\COM" + std::to_string(number) : name;
        WinHandle device(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED,
                                       nullptr));
        if (!device.valid())
            throw ComLine::Failure{Win32Line::Number(::GetLastError()), "CreateFile"};
        return std::make_unique<Win32Line>(std::move(device));
    }
};

} // namespace

std::shared_ptr<ComSystem> ComSystem::Native() { return std::make_shared<Win32System>(); }
