#include "serial/posix/ComDevice.h"

#include "os/posix/TermiosRecord.h"

#include <algorithm>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <system_error>
#include <thread>

ComDevice::~ComDevice()
{
    // The kernel holds a close until the output has drained, up to 30 s on a line stalled by
    // flow control. Release has thrown the queue away, but a USB adapter may still count bytes
    // in flight; nobody should wait for those, so such a close finishes in the background.
    int queued = 0;
    if (system_->Ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0) {
        try {
            std::thread([system = system_, fd = fd_] { system->Close(fd); }).detach();
            return;
        } catch (const std::system_error&) {
        }
    }
    system_->Close(fd_);
}

int ComDevice::BitsPerSecond(const termios& record) const
{
    const int rate = SpeedBitsPerSecond(cfgetospeed(&record));
    if (rate == 0 && cfgetospeed(&record) != B0)
        return std::max(0, system_->GetSpeed(fd_));
    return rate;
}

int ComDevice::SaveSettings()
{
    termios settings{};
    if (const int result = system_->GetAttributes(fd_, settings); result < 0)
        return result;
    saved_ = settings;
    // A rate without a B constant lives in the kernel's termios2 only: put back by hand.
    const int rate = BitsPerSecond(settings);
    savedCustomRate_ = SpeedBitsPerSecond(cfgetospeed(&settings)) == 0 ? rate : 0;
    return 0;
}

void ComDevice::Release()
{
    if (!ownsLock_)
        return;
    ownsLock_ = false;
    system_->Flush(fd_, TCOFLUSH);
    if (saved_) {
        system_->SetAttributes(fd_, *saved_);
        if (savedCustomRate_ > 0)
            system_->SetCustomSpeed(fd_, savedCustomRate_);
        saved_.reset();
    }
    if (ownsExclusive_)
        system_->Ioctl(fd_, TIOCNXCL, nullptr);
    // Unlocked here rather than at the last close, which may finish in the background (above)
    // and must not hold up a new opening meanwhile.
    system_->Flock(fd_, LOCK_UN);
}
