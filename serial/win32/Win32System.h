#pragma once
// Opening a communications device on Windows, through the calls a CommApi makes.

#include "serial/ComLine.h"
#include "serial/win32/CommApi.h"

class Win32System : public ComSystem {
public:
    // Tests hand in scripted calls; ComSystem::Native() makes the real ones.
    explicit Win32System(std::shared_ptr<CommApi> api) : api_(std::move(api)) {}
    std::unique_ptr<ComLine> OpenLine(const std::string& name) override;

private:
    std::shared_ptr<CommApi> api_;
};
