#include "serial/linux/ComDevice.h"

#include "os/linux/TermiosRecord.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <future>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <system_error>
#include <thread>

namespace {

void Interrupt(int) {}

// A signal that only interrupts what the thread it is sent to waits for: installed once, without
// SA_RESTART.
int InterruptSignal()
{
    static const int number = [] {
        const int chosen = SIGRTMIN + 3;
        struct sigaction action {};
        action.sa_handler = Interrupt;
        sigemptyset(&action.sa_mask);
        sigaction(chosen, &action, nullptr);
        return chosen;
    }();
    return number;
}

// The longest a close is given before the kernel's wait is no longer interrupted but left to
// finish in the background.
constexpr std::chrono::seconds kLongestInterruptedClose{1};

} // namespace

ComDevice::~ComDevice()
{
    // The kernel's last close waits up to closing_wait (30 s) for queued output to drain, holding
    // the tty's lock, so that any open of the device waits as long. Release has thrown the queue
    // away where the driver can (cdc_acm has no flush: its transfers stay queued on a line that
    // takes nothing). That wait gives way to a signal: such a close runs on a thread of its own,
    // interrupted until it has returned.
    int queued = 0;
    if (system_->Ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued == 0) {
        system_->Close(fd_);
        return;
    }
    const int signal = InterruptSignal();
    std::promise<void> closing;
    std::future<void> closed = closing.get_future();
    std::thread closer;
    try {
        closer = std::thread([system = system_, fd = fd_, closing = std::move(closing)]() mutable {
            system->Close(fd);
            closing.set_value();
        });
    } catch (const std::system_error&) {
        system_->Close(fd_);
        return;
    }
    // Sent again until it lands: one that comes before the close waits is spent for nothing.
    const auto giveUp = std::chrono::steady_clock::now() + kLongestInterruptedClose;
    do {
        pthread_kill(closer.native_handle(), signal);
    } while (closed.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready &&
             std::chrono::steady_clock::now() < giveUp);
    if (closed.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
        closer.join();
    else
        closer.detach();
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
