#include "serial/linux/LinuxEventThread.h"

#include "serial/linux/ComDevice.h"
#include "serial/EventHandOver.h"
#include "serial/linux/LineWatch.h"

#include <QCoreApplication>

#include <array>
#include <atomic>
#include <cerrno>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>

// What the owner and the thread share. The owner writes the atomics, the thread reads them.
struct LinuxEventThread::Shared {
    Shared(std::shared_ptr<ComDevice> device_, int wakeFd_, const Settings& settings)
        : device(std::move(device_)), wakeFd(wakeFd_), synchronize(settings.synchronize),
          mask(settings.mask), priority(settings.priority)
    {
    }
    ~Shared() { ::close(wakeFd); }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    const std::shared_ptr<ComDevice> device;
    const int wakeFd;
    const bool synchronize;
    std::atomic<bool> terminate{false};
    std::atomic<std::uint32_t> mask;
    std::atomic<TThreadPriority> priority;
    // The latest write note: drainedBy and perByte are stored before the count that announces
    // them.
    std::atomic<std::uint64_t> writesNoted{0};
    std::atomic<Clock::rep> drainedBy{0};
    std::atomic<std::chrono::nanoseconds::rep> perByte{0};
    std::atomic<std::uint64_t> bytesRead{0};
    // Set by the first wake-up the thread has not taken yet, so that a burst of notes (a file
    // sent byte by byte) costs one eventfd write, not one per byte.
    std::atomic<bool> woken{false};
};

// The thread's side: one pass is one wait and what it found.
class LinuxEventThread::Loop {
public:
    Loop(std::shared_ptr<Shared> shared, LinuxEventThread* owner, EventHandOver* handOver)
        : shared_(std::move(shared)), owner_(owner), handOver_(handOver),
          watch_(shared_->device->System(), shared_->device->Fd())
    {
    }

    // On the owner's thread, before the thread runs.
    int Begin()
    {
        const std::uint32_t mask = shared_->mask;
        if (mask & ComEvent::TxEmpty)
            txReported_ = notesSeen_ = shared_->writesNoted;
        watched_ = mask;
        const int result = watch_.Begin(0, mask);
        if (result < 0)
            watched_ = 0; // the first pass meets the failure again and reports it
        return result;
    }

    void Run()
    {
        ApplyPriority(priority_ = shared_->priority);
        while (!shared_->terminate && Pass()) {
        }
    }

private:
    bool Pass();
    void TakeNotes(std::uint32_t mask);
    void Dispatch(std::uint32_t events);
    // Reports a failed wait on the user-interface thread; always false (the thread ends).
    bool Fail(int error, const char* operation);
    // Posts call to the user-interface thread unless the thread is being stopped, and waits for
    // it if asked to.
    void HandOver(std::function<void()> call, bool wait);
    static void ApplyPriority(TThreadPriority priority);

    std::shared_ptr<Shared> shared_;
    LinuxEventThread* const owner_;
    EventHandOver* const handOver_;
    LineWatch watch_;
    TThreadPriority priority_ = tpNormal;
    std::uint32_t watched_ = 0;
    std::uint64_t notesSeen_ = 0;
    std::uint64_t txReported_ = 0;
};

bool LinuxEventThread::Loop::Pass()
{
    Shared& shared = *shared_;
    const int fd = shared.device->Fd();
    const std::uint32_t mask = shared.mask;

    // A watch that has just begun measures from now.
    watched_ &= mask;
    if (const int result = watch_.Begin(watched_, mask); result < 0)
        return Fail(-result, watch_.Failed());
    if ((mask & ComEvent::TxEmpty) && !(watched_ & ComEvent::TxEmpty))
        txReported_ = shared.writesNoted;
    watched_ = mask;
    TakeNotes(mask);
    const bool txDue = (mask & ComEvent::TxEmpty) && notesSeen_ != txReported_;

    // Hang-ups and errors are reported whatever is asked for, so a device that goes away is
    // noticed even when only the modem lines are watched.
    std::array<pollfd, 2> fds = {{
        {fd, static_cast<short>(watch_.WaitsForInput(mask) ? POLLIN : 0), 0},
        {shared.wakeFd, POLLIN, 0},
    }};
    const int ready =
        shared.device->System().Poll(fds.data(), fds.size(), watch_.WaitMs(mask, txDue));
    if (ready == -EINTR)
        return true;
    if (ready < 0)
        return Fail(-ready, "poll");
    if (fds[1].revents & POLLIN) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t drained = ::read(shared.wakeFd, &count, sizeof count);
        // Cleared only after the descriptor: a wake-up from here on writes it anew, and one that
        // came in between is seen when the next pass reads the state again.
        shared.woken.exchange(false);
    }
    if (shared.terminate)
        return false;
    if (const TThreadPriority wanted = shared.priority; wanted != priority_)
        ApplyPriority(priority_ = wanted);
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        // Bytes that came just before the hang-up are still queued: they go to the handlers
        // before the port is closed under them.
        std::uint32_t found = 0;
        if ((mask & ComEvent::RxChar) &&
            watch_.Sample(ComEvent::RxChar, false, shared.bytesRead, found) >= 0 && found)
            Dispatch(found);
        return Fail(EIO, "poll");
    }

    std::uint32_t found = 0;
    if (const int result = watch_.Sample(mask, txDue, shared.bytesRead, found); result < 0)
        return Fail(-result, watch_.Failed());
    found &= mask;
    if (found & ComEvent::TxEmpty)
        txReported_ = notesSeen_;
    if (found)
        Dispatch(found);
    if (found & ComEvent::RxChar)
        watch_.AfterReceive(shared.bytesRead);
    return true;
}

void LinuxEventThread::Loop::TakeNotes(std::uint32_t mask)
{
    const std::uint64_t noted = shared_->writesNoted.load(std::memory_order_acquire);
    if (noted == notesSeen_)
        return;
    notesSeen_ = noted;
    if (mask & ComEvent::TxEmpty) {
        watch_.ExpectDrain(Clock::time_point(Clock::duration(shared_->drainedBy.load())),
                           std::chrono::nanoseconds(shared_->perByte.load()));
    }
}

void LinuxEventThread::Loop::HandOver(std::function<void()> call, bool wait)
{
    if (!shared_->terminate)
        handOver_->Post(std::move(call), wait);
}

void LinuxEventThread::Loop::Dispatch(std::uint32_t events)
{
    LinuxEventThread* owner = owner_;
    HandOver(
        [owner, events] {
            const auto report = owner->reports_.found; // the report may stop this thread
            report(events);
        },
        shared_->synchronize);
}

bool LinuxEventThread::Loop::Fail(int error, const char* operation)
{
    LinuxEventThread* owner = owner_;
    HandOver(
        [owner, failure = ComLine::Failure{error, ComDevice::KindOf(error), operation}] {
            const auto report = owner->reports_.failed;
            report(failure);
        },
        true);
    return false;
}

void LinuxEventThread::Loop::ApplyPriority(TThreadPriority priority)
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

// --- the owner's side ---

LinuxEventThread::LinuxEventThread(std::shared_ptr<Shared> shared, Reports reports)
    : shared_(std::move(shared)), handOver_(std::make_unique<EventHandOver>()),
      reports_(std::move(reports))
{
}

std::unique_ptr<LinuxEventThread> LinuxEventThread::Start(std::shared_ptr<ComDevice> device, int wakeFd,
                                            const Settings& settings, Reports reports)
{
    if (wakeFd < 0)
        return nullptr;
    auto shared = std::make_shared<Shared>(std::move(device), wakeFd, settings);
    if (!QCoreApplication::instance())
        return nullptr;
    std::unique_ptr<LinuxEventThread> thread(new LinuxEventThread(shared, std::move(reports)));
    auto loop = std::make_unique<Loop>(shared, thread.get(), thread->handOver_.get());
    // Taken here, before the caller goes on: a change right after opening is a change.
    loop->Begin();
    try {
        thread->thread_ = std::thread([loop = std::move(loop)] { loop->Run(); });
    } catch (const std::system_error&) {
        return nullptr;
    }
    return thread;
}

LinuxEventThread::~LinuxEventThread() { Stop(); }

void LinuxEventThread::Stop()
{
    shared_->terminate = true;
    if (handOver_)
        handOver_->Stop();
    Wake();
    // Never called on the thread itself: no handler runs there.
    if (thread_.joinable())
        thread_.join();
    handOver_.reset(); // drops the calls it still holds
}

void LinuxEventThread::SetMask(std::uint32_t mask)
{
    shared_->mask = mask;
    Wake();
}

void LinuxEventThread::SetPriority(TThreadPriority priority)
{
    shared_->priority = priority;
    Wake();
}

void LinuxEventThread::NoteWrite(Clock::time_point drainedBy, std::chrono::nanoseconds perByte)
{
    shared_->drainedBy.store(drainedBy.time_since_epoch().count(), std::memory_order_relaxed);
    shared_->perByte.store(perByte.count(), std::memory_order_relaxed);
    shared_->writesNoted.fetch_add(1, std::memory_order_release);
    Wake();
}

void LinuxEventThread::NoteRead(std::size_t bytes) { shared_->bytesRead += bytes; }

void LinuxEventThread::Wake()
{
    if (shared_->woken.exchange(true))
        return; // the thread has not taken the last wake-up yet, and will see this change too
    const std::uint64_t one = 1;
    // A full counter already means "wake up"; nothing else can go wrong here.
    [[maybe_unused]] const ssize_t written = ::write(shared_->wakeFd, &one, sizeof one);
}
