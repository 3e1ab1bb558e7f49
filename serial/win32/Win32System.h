#pragma once
// Opening a communications device on Windows, through the calls a CommApi makes.

#include "serial/ComLine.h"
#include "serial/win32/CommApi.h"

#include <chrono>

class Win32System : public ComSystem {
public:
    // Tests hand in scripted calls; ComSystem::Native() makes the real ones.
    Win32System(ComNames names, std::shared_ptr<CommApi> api)
        : ComSystem(std::move(names)), api_(std::move(api))
    {
    }
    // Fails with ERROR_SEM_TIMEOUT when the device has not answered within kOpenWithin.
    std::unique_ptr<ComLine> OpenLine(const std::string& name) override;

    // As long as an open may hold up the window: a moment, and a Bluetooth port whose far
    // device is on and near answers within it.
    static constexpr std::chrono::milliseconds kOpenWithin{2000};

private:
    std::shared_ptr<CommApi> api_;
};
