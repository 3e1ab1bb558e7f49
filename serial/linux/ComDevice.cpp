#include "serial/linux/ComDevice.h"

#include "os/linux/TermiosRecord.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <future>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>

namespace {

void Interrupt(int) {}

// A signal that only interrupts what the thread it is sent to waits for: installed once, without
// SA_RESTART, on the first real-time signal from SIGRTMIN+3 that nothing else in the process
// handles (a handler found in place is put back). 0 when every one is taken.
int InterruptSignal()
{
    static const int number = [] {
        for (int chosen = SIGRTMIN + 3; chosen <= SIGRTMAX; ++chosen) {
            struct sigaction action {};
            action.sa_handler = Interrupt;
            sigemptyset(&action.sa_mask);
            struct sigaction replaced {};
            if (sigaction(chosen, &action, &replaced) != 0)
                continue;
            const bool free = !(replaced.sa_flags & SA_SIGINFO) &&
                              (replaced.sa_handler == SIG_DFL || replaced.sa_handler == SIG_IGN);
            if (free)
                return chosen;
            sigaction(chosen, &replaced, nullptr);
        }
        return 0;
    }();
    return number;
}

// The longest a close is given, once its thread runs, before the kernel's wait is no longer
// interrupted but left to finish in the background.
constexpr std::chrono::seconds kLongestInterruptedClose{1};

} // namespace

ComDevice::~ComDevice()
{
    // The kernel's last close waits up to closing_wait (30 s) for queued output to drain, holding
    // the tty's lock, so that any open of the device waits as long; cp210x and ftdi_sio wait for
    // the chip's own FIFO as well, and cdc_acm's hang-up request cannot be interrupted. Release
    // has thrown away what the driver lets go of, and a queue that reads empty tells nothing of
    // the chip. So every close runs on a thread of its own, interrupted while it waits, and one
    // that takes longer is left to end in the background, its device marked as still closing.
    struct stat node {};
    const std::optional<dev_t> device =
        ::fstat(fd_, &node) == 0 && S_ISCHR(node.st_mode) ? std::optional(node.st_rdev) : std::nullopt;
    if (device)
        system_->Lingering().Begin(*device);
    const int signal = InterruptSignal();
    std::promise<void> starting;
    std::future<void> started = starting.get_future();
    std::promise<void> closing;
    std::future<void> closed = closing.get_future();
    std::thread closer;
    try {
        closer = std::thread([system = system_, fd = fd_, device, signal,
                              starting = std::move(starting), closing = std::move(closing)]() mutable {
            // A thread starts with the signal mask of the one that made it, which may block
            // this signal (a launcher's mask is inherited across exec).
            if (signal != 0) {
                sigset_t interrupt;
                sigemptyset(&interrupt);
                sigaddset(&interrupt, signal);
                pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
            }
            starting.set_value();
            system->Close(fd);
            if (device)
                system->Lingering().End(*device);
            closing.set_value();
        });
    } catch (const std::system_error&) {
        system_->Close(fd_);
        if (device)
            system_->Lingering().End(*device);
        return;
    }
    // Sent again until it lands: one that comes before the close waits is spent for nothing.
    started.wait();
    const auto giveUp = std::chrono::steady_clock::now() + kLongestInterruptedClose;
    do {
        if (signal != 0)
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
    // What a stalled line still holds is thrown away, so that the close does not wait for it. A
    // pseudo-terminal's close never waits, and there the flush would throw away what the far end
    // has not read yet (drivers/tty/pty.c, pty_flush_buffer empties the other end's buffer).
    if (system_->HasLine(fd_))
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

TComErrorKind ComDevice::KindOf(int error)
{
    switch (error) {
    case EIO: case ENXIO: case ENODEV: return ekGone;
    case EBUSY: return ekBusy;
    case EACCES: case EPERM: return ekDenied;
    case ETIMEDOUT: return ekTimedOut;
    case ENOTTY: case EINVAL: case EOPNOTSUPP: return ekUnsupported;
    default: return ekOther;
    }
}
