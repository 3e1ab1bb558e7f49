#include "serial/ComThread.h"

#include "serial/ComDevice.h"
#include "serial/ComPort.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <array>
#include <cerrno>
#include <future>
#include <linux/serial.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace {

// How often lines without a wake-up of their own are looked at: modem lines, line-error
// counters, and input that a handler left unread.
constexpr int kSampleMs = 10;
// How often the output queue is looked at while it drains after a write.
constexpr int kDrainMs = 2;

// Qt orders a posted call under its own locks, which ThreadSanitizer cannot see; the hand-over
// is therefore announced to it explicitly (and costs nothing in other builds).
#if defined(__SANITIZE_THREAD__)
void HandOver(void* token) { __tsan_release(token); }
void TakeOver(void* token) { __tsan_acquire(token); }
#else
void HandOver(void*) {}
void TakeOver(void*) {}
#endif

// Runs call on the user-interface thread and, if asked to, waits until it has run there (or
// can no longer run, because the application is going away). This is Qt's blocking queued
// invocation, with the waiting done by a promise that thread checkers can follow.
// The promise travels with the posted call; whichever thread ends its last copy first learns
// of the hand-over, also when Qt drops the call unrun.
struct HandedPromise {
    std::shared_ptr<std::promise<void>> done;
    explicit HandedPromise(std::shared_ptr<std::promise<void>> p) : done(std::move(p)) {}
    HandedPromise(HandedPromise&&) = default;
    ~HandedPromise()
    {
        if (done)
            TakeOver(done.get());
    }
};

template <typename F> void RunOnUserInterface(F call, bool wait)
{
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    HandOver(done.get());
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [call = std::move(call), handed = HandedPromise(done)] {
            TakeOver(handed.done.get());
            call();
            handed.done->set_value();
        },
        Qt::QueuedConnection);
    if (wait)
        finished.wait();
    TakeOver(done.get());
}

// The kernel's counters in the order of TLineError.
int ReadCounters(SerialSystem& system, int fd, std::array<int, 5>& counts)
{
    serial_icounter_struct now{};
    const int result = system.Ioctl(fd, TIOCGICOUNT, &now);
    if (result >= 0)
        counts = {now.brk, now.frame, now.overrun, now.parity, now.buf_overrun};
    return result;
}

std::uint32_t ModemChanges(int before, int now)
{
    const int changed = before ^ now;
    std::uint32_t events = 0;
    if (changed & TIOCM_CTS)
        events |= ComEvent::CTS;
    if (changed & TIOCM_DSR)
        events |= ComEvent::DSR;
    if (changed & TIOCM_CAR)
        events |= ComEvent::RLSD;
    if (changed & TIOCM_RNG)
        events |= ComEvent::Ring;
    return events;
}

} // namespace

ComThreadLink::ComThreadLink(std::shared_ptr<ComDevice> device_, TCustomComPort* port_,
                             std::uint32_t mask_, TThreadPriority priority_, bool synchronize_,
                             int wakeFd_)
    : device(std::move(device_)), port(port_), mask(mask_), priority(priority_),
      synchronize(synchronize_), wakeFd(wakeFd_)
{
}

ComThreadLink::~ComThreadLink()
{
    if (wakeFd >= 0)
        ::close(wakeFd);
}

void ComThreadLink::Wake()
{
    const std::uint64_t one = 1;
    // A full counter already means "wake up"; nothing else can go wrong here.
    [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof one);
}

bool ComThread::Start(const std::shared_ptr<ComThreadLink>& link)
{
    if (link->wakeFd < 0 || !QCoreApplication::instance())
        return false;
    ComThread thread(link);
    // Taken here, before the caller goes on: a change right after opening is a change.
    if (thread.TakeStartingPoint(link->mask) < 0)
        thread.watched_ = 0; // the thread meets the failure again and reports it
    try {
        std::thread([thread = std::move(thread)]() mutable { thread.Run(); }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

int ComThread::TakeStartingPoint(std::uint32_t newlyWatched)
{
    SerialSystem& system = link_->device->System();
    const int fd = link_->device->Fd();
    if ((newlyWatched & ComEvent::ModemLines) && modemLines_) {
        const int result = system.Ioctl(fd, TIOCMGET, &modem_);
        if (ComDevice::Unsupported(result))
            modemLines_ = false;
        else if (result < 0)
            return result;
    }
    if ((newlyWatched & ComEvent::LineCounters) && lineCounters_) {
        const int result = ReadCounters(system, fd, counts_);
        if (ComDevice::Unsupported(result))
            lineCounters_ = false;
        else if (result < 0)
            return result;
    }
    if (newlyWatched & ComEvent::TxEmpty)
        txReported_ = link_->writesHandedOver;
    watched_ |= newlyWatched;
    return 0;
}

void ComThread::ApplyPriority(TThreadPriority priority)
{
    // Without the rights for a level the thread silently keeps what it has.
    sched_param param{};
    if (priority == tpTimeCritical) {
        param.sched_priority = sched_get_priority_min(SCHED_FIFO);
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0)
            return;
        param.sched_priority = 0;
    }
    pthread_setschedparam(pthread_self(), priority == tpIdle ? SCHED_IDLE : SCHED_OTHER, &param);
    constexpr std::array<int, tpTimeCritical + 1> kNice = {19, 10, 5, 0, -5, -10, 0};
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kNice[priority]);
}

void ComThread::Dispatch(std::uint32_t events)
{
    RunOnUserInterface(
        [link = link_, events] {
            if (link->port && !link->terminate)
                link->port->ThreadDoEvent(events);
        },
        link_->synchronize);
}

bool ComThread::Fail(int error)
{
    // However a device goes away, the port reports it the same way.
    if (error == ENODEV || error == ENXIO)
        error = EIO;
    RunOnUserInterface(
        [link = link_, error] {
            if (link->port && !link->terminate)
                link->port->ThreadFailed(error);
        },
        true);
    return false;
}

void ComThread::Run()
{
    priority_ = link_->priority;
    ApplyPriority(priority_);
    while (!link_->terminate && Pass()) {
    }
}

bool ComThread::Pass()
{
    ComThreadLink& link = *link_;
    SerialSystem& system = link.device->System();
    const int fd = link.device->Fd();
    const std::uint32_t mask = link.mask;
    const std::uint64_t handedOver = link.writesHandedOver;

    // A watch that has just begun measures from now.
    watched_ &= mask;
    if (const int result = TakeStartingPoint(mask & ~watched_); result < 0)
        return Fail(-result);

    const bool watchModem = (mask & ComEvent::ModemLines) && modemLines_;
    const bool watchCounters = (mask & ComEvent::LineCounters) && lineCounters_;
    const bool watchRx = mask & ComEvent::RxChar;
    const bool txDue = (mask & ComEvent::TxEmpty) && handedOver != txReported_;

    int timeout = -1;
    if (watchModem || watchCounters || (watchRx && rxSampling_))
        timeout = kSampleMs;
    if (txDue)
        timeout = kDrainMs;
    if (watchRx && rxPending_)
        timeout = 0;

    // Hang-ups and errors are reported whatever is asked for, so a device that goes away is
    // noticed even when only the modem lines are watched.
    std::array<pollfd, 2> fds = {{
        {fd, static_cast<short>(watchRx && !rxSampling_ ? POLLIN : 0), 0},
        {link.wakeFd, POLLIN, 0},
    }};
    const int ready = system.Poll(fds.data(), fds.size(), timeout);
    if (ready == -EINTR)
        return true;
    if (ready < 0)
        return Fail(-ready);
    if (fds[1].revents & POLLIN) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t drained = ::read(link.wakeFd, &count, sizeof count);
    }
    if (link.terminate)
        return false;
    if (const TThreadPriority wanted = link.priority; wanted != priority_)
        ApplyPriority(priority_ = wanted);
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
        return Fail(EIO);

    std::uint32_t found = 0;
    if (const int result = Sample(mask, txDue, handedOver, found); result < 0)
        return Fail(-result);
    found &= mask;
    if (found && !link.terminate)
        Dispatch(found);
    if (found & ComEvent::RxChar) {
        // What the handlers left unread is old news; bytes that came in while they ran are a
        // new event, at once.
        const std::uint64_t read = link.bytesRead;
        int queued = 0;
        if (system.Ioctl(fd, FIONREAD, &queued) < 0)
            queued = 0;
        ForgetRead(read);
        rxSampling_ = queued > 0;
        rxPending_ = queued > rxSeen_;
    }
    return true;
}

void ComThread::ForgetRead(std::uint64_t read)
{
    rxSeen_ = static_cast<int>(
        std::max<long long>(0, rxSeen_ - static_cast<long long>(read - readSeen_)));
    readSeen_ = read;
}

int ComThread::Sample(std::uint32_t mask, bool txDue, std::uint64_t handedOver,
                      std::uint32_t& found)
{
    SerialSystem& system = link_->device->System();
    const int fd = link_->device->Fd();

    if ((mask & ComEvent::ModemLines) && modemLines_) {
        int now = 0;
        const int result = system.Ioctl(fd, TIOCMGET, &now);
        if (ComDevice::Unsupported(result)) {
            modemLines_ = false;
        } else if (result < 0) {
            return result;
        } else {
            found |= ModemChanges(modem_, now);
            modem_ = now;
        }
    }
    if ((mask & ComEvent::LineCounters) && lineCounters_) {
        std::array<int, 5> now{};
        const int result = ReadCounters(system, fd, now);
        if (ComDevice::Unsupported(result)) {
            lineCounters_ = false;
        } else if (result < 0) {
            return result;
        } else {
            if (now[leBreak] != counts_[leBreak])
                found |= ComEvent::Break;
            if (!std::equal(now.begin() + leFrame, now.end(), counts_.begin() + leFrame))
                found |= ComEvent::Err;
            counts_ = now;
        }
    }
    if (mask & ComEvent::RxChar) {
        // The count is read first: a read racing with FIONREAD can then only make a byte look
        // new twice, never make a new byte look old.
        const std::uint64_t read = link_->bytesRead;
        int queued = 0;
        if (const int result = system.Ioctl(fd, FIONREAD, &queued); result < 0)
            return result;
        ForgetRead(read);
        if (queued > rxSeen_)
            found |= ComEvent::RxChar;
        rxSeen_ = queued;
        rxSampling_ = queued > 0;
        rxPending_ = false;
    }
    if (txDue) {
        int queued = 0;
        const int result = system.Ioctl(fd, TIOCOUTQ, &queued);
        if (result < 0 && !ComDevice::Unsupported(result))
            return result;
        bool empty = result < 0 || queued == 0;
        if (empty && transmitterStatus_) {
            // The UART's shift register, where the driver can tell.
            unsigned int status = 0;
            const int lsr = system.Ioctl(fd, TIOCSERGETLSR, &status);
            if (ComDevice::Unsupported(lsr))
                transmitterStatus_ = false;
            else if (lsr < 0)
                return lsr;
            else
                empty = status & TIOCSER_TEMT;
        }
        if (empty) {
            found |= ComEvent::TxEmpty;
            txReported_ = handedOver;
        }
    }
    return 0;
}
