#include "serial/ComThread.h"

#include "serial/ComDevice.h"
#include "serial/ComPort.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <array>
#include <cerrno>
#include <linux/serial.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// How often lines without a wake-up of their own are looked at: modem lines, line-error
// counters, and input that a handler left unread.
constexpr int kSampleMs = 10;
// How often the output queue is looked at while it drains after a write.
constexpr int kDrainMs = 2;

bool ErrorCountsDiffer(const serial_icounter_struct& a, const serial_icounter_struct& b)
{
    return a.frame != b.frame || a.overrun != b.overrun || a.parity != b.parity ||
           a.buf_overrun != b.buf_overrun;
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
                             std::uint32_t mask_, TThreadPriority priority_, bool synchronize_)
    : device(std::move(device_)), port(port_), mask(mask_), priority(priority_),
      synchronize(synchronize_), wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
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
    try {
        std::thread([thread = ComThread(link)]() mutable { thread.Run(); }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
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
    auto call = [link = link_, events] {
        if (link->port && !link->terminate)
            link->port->ThreadDoEvent(events);
    };
    QMetaObject::invokeMethod(QCoreApplication::instance(), call,
                              link_->synchronize ? Qt::BlockingQueuedConnection
                                                 : Qt::QueuedConnection);
}

void ComThread::Fail(int error)
{
    // However a device goes away, the port reports it the same way.
    if (error == ENODEV || error == ENXIO)
        error = EIO;
    auto call = [link = link_, error] {
        if (link->port && !link->terminate)
            link->port->ThreadFailed(error);
    };
    QMetaObject::invokeMethod(QCoreApplication::instance(), call, Qt::BlockingQueuedConnection);
}

void ComThread::Run()
{
    ComThreadLink& link = *link_;
    SerialSystem& system = link.device->System();
    const int fd = link.device->Fd();
    TThreadPriority priority = link.priority;
    ApplyPriority(priority);

    bool modemLines = true;
    bool lineCounters = true;
    bool transmitterStatus = true;
    int modem = 0;
    serial_icounter_struct counts{};
    int rxSeen = 0;
    bool rxSampling = false;
    std::uint64_t txReported = 0;
    std::uint32_t watched = 0;

    while (!link.terminate) {
        const std::uint32_t mask = link.mask;
        const std::uint64_t handedOver = link.writesHandedOver;

        // A watch that has just begun takes its starting point without reporting anything.
        if ((mask & ComEvent::ModemLines) && !(watched & ComEvent::ModemLines) && modemLines) {
            const int result = system.Ioctl(fd, TIOCMGET, &modem);
            if (ComDevice::Unsupported(result))
                modemLines = false;
            else if (result < 0)
                return Fail(-result);
        }
        if ((mask & ComEvent::LineCounters) && !(watched & ComEvent::LineCounters) &&
            lineCounters) {
            const int result = system.Ioctl(fd, TIOCGICOUNT, &counts);
            if (ComDevice::Unsupported(result))
                lineCounters = false;
            else if (result < 0)
                return Fail(-result);
        }
        if ((mask & ComEvent::TxEmpty) && !(watched & ComEvent::TxEmpty))
            txReported = handedOver;
        watched = mask;

        const bool watchModem = (mask & ComEvent::ModemLines) && modemLines;
        const bool watchCounters = (mask & ComEvent::LineCounters) && lineCounters;
        const bool watchRx = mask & ComEvent::RxChar;
        const bool txDue = (mask & ComEvent::TxEmpty) && handedOver != txReported;

        int timeout = -1;
        if (watchModem || watchCounters || (watchRx && rxSampling))
            timeout = kSampleMs;
        if (txDue)
            timeout = kDrainMs;

        // Hang-ups and errors are reported whatever is asked for, so a device that goes away
        // is noticed even when only the modem lines are watched.
        std::array<pollfd, 2> fds = {{
            {fd, static_cast<short>(watchRx && !rxSampling ? POLLIN : 0), 0},
            {link.wakeFd, POLLIN, 0},
        }};
        const int ready = system.Poll(fds.data(), fds.size(), timeout);
        if (ready == -EINTR)
            continue;
        if (ready < 0)
            return Fail(-ready);
        if (fds[1].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t drained = ::read(link.wakeFd, &count, sizeof count);
        }
        if (link.terminate)
            break;
        if (const TThreadPriority wanted = link.priority; wanted != priority)
            ApplyPriority(priority = wanted);
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            return Fail(EIO);

        std::uint32_t found = 0;
        if (watchModem) {
            int now = 0;
            const int result = system.Ioctl(fd, TIOCMGET, &now);
            if (ComDevice::Unsupported(result)) {
                modemLines = false;
            } else if (result < 0) {
                return Fail(-result);
            } else {
                found |= ModemChanges(modem, now);
                modem = now;
            }
        }
        if (watchCounters) {
            serial_icounter_struct now{};
            const int result = system.Ioctl(fd, TIOCGICOUNT, &now);
            if (ComDevice::Unsupported(result)) {
                lineCounters = false;
            } else if (result < 0) {
                return Fail(-result);
            } else {
                if (now.brk != counts.brk)
                    found |= ComEvent::Break;
                if (ErrorCountsDiffer(now, counts))
                    found |= ComEvent::Err;
                counts = now;
            }
        }
        if (watchRx) {
            int queued = 0;
            if (const int result = system.Ioctl(fd, FIONREAD, &queued); result < 0)
                return Fail(-result);
            if (queued > rxSeen) {
                found |= ComEvent::RxChar;
            } else {
                rxSeen = queued;
                rxSampling = queued > 0;
            }
        }
        if (txDue) {
            int queued = 0;
            const int result = system.Ioctl(fd, TIOCOUTQ, &queued);
            if (result < 0 && !ComDevice::Unsupported(result))
                return Fail(-result);
            bool empty = result < 0 || queued == 0;
            if (empty && transmitterStatus) {
                // The UART's shift register, where the driver can tell.
                unsigned int status = 0;
                const int lsr = system.Ioctl(fd, TIOCSERGETLSR, &status);
                if (ComDevice::Unsupported(lsr))
                    transmitterStatus = false;
                else if (lsr < 0)
                    return Fail(-lsr);
                else
                    empty = status & TIOCSER_TEMT;
            }
            if (empty) {
                found |= ComEvent::TxEmpty;
                txReported = handedOver;
            }
        }

        found &= mask;
        if (found && !link.terminate)
            Dispatch(found);
        if (found & ComEvent::RxChar) {
            // What the handlers left unread is old news: only more bytes are a new event.
            int queued = 0;
            if (system.Ioctl(fd, FIONREAD, &queued) < 0)
                queued = 0;
            rxSeen = queued;
            rxSampling = queued > 0;
        }
    }
}
