#include "serial/ComDevice.h"

#include <sys/ioctl.h>
#include <system_error>
#include <thread>

ComDevice::~ComDevice()
{
    // The kernel holds a close until the output has drained, up to 30 s on a line stalled by
    // flow control; nobody should wait for that, so such a close finishes in the background.
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
