#include "serial/linux/LinuxLine.h"

#include "os/ComNames.h"
#include "serial/ComSettings.h"
#include "serial/linux/ComDevice.h"
#include "serial/linux/LinuxEventThread.h"
#include "serial/linux/PortWriter.h"
#include "serial/linux/LinuxSystem.h"
#include "serial/linux/TermiosSettings.h"

#include <cerrno>
#include <chrono>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace {

// Throws the failure of a call (result -errno); "try again" and "in progress" are no failure.
void Check(int result, const char* operation)
{
    if (result >= 0)
        return;
    const int error = -result;
    if (error == EAGAIN || error == EINPROGRESS)
        return;
    throw ComLine::Failure{error, ComDevice::KindOf(error), operation};
}

// The longest an open that was refused as busy waits to name the holder; a later refusal names
// it once the lookup has found it.
constexpr std::chrono::seconds kHolderWait{1};

// Linux never reports these: its tty layer has no event character, no fill level, no printer
// status and no driver-specific events.
constexpr std::uint32_t kSilent = ComEvent::RxFlag | ComEvent::PErr | ComEvent::Rx80Full |
                                  ComEvent::Event1 | ComEvent::Event2;

} // namespace

std::unique_ptr<ComLine> LinuxSystem::OpenLine(const std::string& name)
{
    const std::string path = Names().Resolve(name);
    if (path.empty())
        throw ComLine::Failure{ENOENT, ekOther, "open"};
    // Our own last close of the device may still run (ComDevice): an open would wait in the
    // kernel until it ends.
    if (struct stat node {}; ::stat(path.c_str(), &node) == 0 && S_ISCHR(node.st_mode) &&
                             lingering_.Contains(node.st_rdev))
        throw ComLine::Failure{EBUSY, ekBusy, "open", "still closing"};
    try {
        const int fd = Open(path);
        if (fd < 0)
            // Even "try again": there is no device to go on with.
            throw ComLine::Failure{-fd, ComDevice::KindOf(-fd), "open"};
        auto line = std::make_unique<LinuxLine>(shared_from_this(), fd);
        holders_.Opened(path);
        return line;
    } catch (ComLine::Failure& failure) {
        // Busy says only that someone else has the device (their exclusive flag refused the
        // open, or their lock our claim); which program it is tells the user what to close.
        if (failure.error == EBUSY) {
            if (const auto holder = holders_.Refused(path, kHolderWait))
                failure.detail = "held by " + holder->name + ", pid " + std::to_string(holder->pid);
        }
        throw;
    }
}

std::shared_ptr<ComSystem> ComSystem::Native(ComNames names)
{
    return std::make_shared<LinuxSystem>(std::move(names));
}

LinuxLine::LinuxLine(std::shared_ptr<LinuxSystem> system, int fd)
    : system_(std::move(system)), device_(std::make_shared<ComDevice>(system_, fd)),
      writer_(std::make_unique<PortWriter>())
{
    writer_->onHandedOver = [this](PortWriter::Clock::time_point drainedBy,
                                   std::chrono::nanoseconds perByte) {
        if (thread_ && txEmptyWanted_ && txEmptyWanted_())
            thread_->NoteWrite(drainedBy, perByte);
    };
    try {
        Claim();
        writer_->Attach(device_);
        TakeLineErrors();
    } catch (...) {
        Close();
        throw;
    }
}

LinuxLine::~LinuxLine() { Close(); }

void LinuxLine::Claim()
{
    const int fd = device_->Fd();
    // The lock first: until it is ours the device is another program's, and nothing here may
    // change it (on a UART even a flush of our own would throw away the holder's output).
    int locked = system_->Flock(fd, LOCK_EX | LOCK_NB);
    if (locked == -EWOULDBLOCK)
        locked = -EBUSY; // "held open elsewhere", not "try again"
    Check(locked, "flock");
    device_->OwnLock();
    // TIOCEXCL keeps other programs out but not root, and the lock alone keeps out only those
    // that ask for it. Old kernels refuse TIOCEXCL on some devices, which is harmless. Root
    // gets past another program's flag: that flag is not ours to clear at release, so whether
    // it was set already is asked first (on kernels too old to tell, the lock says it is ours).
    int wasExclusive = 0;
    const bool told = system_->Ioctl(fd, TIOCGEXCL, &wasExclusive) >= 0;
    const int exclusive = system_->Ioctl(fd, TIOCEXCL, nullptr);
    if (!ComDevice::Unsupported(exclusive))
        Check(exclusive, "TIOCEXCL");
    if (exclusive >= 0 && (!told || !wasExclusive))
        device_->OwnExclusive();
    // Put back at close, so that the next program finds the line as it was.
    Check(device_->SaveSettings(), "tcgetattr");
    Check(system_->Flush(fd, TCIOFLUSH), "tcflush");
}

void LinuxLine::Close()
{
    if (!device_)
        return;
    StopEvents();
    // The last line goes out at the settings it was written with, before they are put back.
    writer_->Finish();
    writer_->Detach();
    device_->Release();
    device_.reset();
}

// --- settings ---

void LinuxLine::Configure(const LineSettings& settings)
{
    // New settings take effect on every byte still queued: the line on its way goes out first,
    // at the settings it was written with.
    writer_->Settle();
    const int fd = device_->Fd();
    termios before{};
    Check(system_->GetAttributes(fd, before), "tcgetattr");

    termios record = before;
    int customRate = 0;
    Check(CopyToTermios(settings, record, customRate), "line settings");
    int result = system_->SetAttributes(fd, record);
    if (result == -EINVAL && LinuxSystem::IsPseudoTerminal(fd)) {
        // A pseudo-terminal has no line to frame: it refuses any character size and parity
        // but 8-N. Keep its own, so that virtual ports work in every mode.
        constexpr tcflag_t kFrame = CSIZE | PARENB | PARODD | CMSPAR;
        record.c_cflag = (record.c_cflag & ~kFrame) | (before.c_cflag & kFrame);
        result = system_->SetAttributes(fd, record);
    }
    Check(result, "tcsetattr");
    if (customRate) {
        if (const int result = system_->SetCustomSpeed(fd, customRate); result < 0) {
            system_->SetAttributes(fd, before);
            Check(result, "TCSETS2");
        }
    }

    // What the device really runs at times the writes: a custom rate may have been rounded, and
    // brDefault leaves the device's own.
    termios now{};
    Check(system_->GetAttributes(fd, now), "tcgetattr");
    writer_->SetWireTime(WireTimeOf(now, device_->BitsPerSecond(now)));

    // DTR and RTS levels, on devices that have such lines.
    if (settings.dtr == dcDisable || settings.dtr == dcEnable)
        SetModemLine(settings.dtr == dcEnable, TIOCM_DTR);
    if (settings.rts == rcDisable || settings.rts == rcEnable)
        SetModemLine(settings.rts == rcEnable, TIOCM_RTS);
}

void LinuxLine::SetModemLine(bool on, int line)
{
    const int result = system_->Ioctl(device_->Fd(), on ? TIOCMBIS : TIOCMBIC, &line);
    if (!ComDevice::Unsupported(result))
        Check(result, on ? "TIOCMBIS" : "TIOCMBIC");
}

// --- writing ---

std::optional<ComLine::Failure> LinuxLine::StartWrite(std::string_view bytes,
                                                      const TTimeouts& timeouts)
{
    if (const int error = writer_->Start(bytes, timeouts.WriteMultiplier(), timeouts.WriteConstant()))
        return Failure{error, ComDevice::KindOf(error), "write"};
    return std::nullopt;
}

ComLine::WriteOutcome LinuxLine::WaitWrite()
{
    const PortWriter::Outcome outcome = writer_->Wait();
    return {outcome.error, ComDevice::KindOf(outcome.error), outcome.operation, outcome.timedOut};
}

void LinuxLine::PurgeOutput()
{
    writer_->Forget();
    Check(system_->Flush(device_->Fd(), TCOFLUSH), "tcflush");
}

// --- reading ---

int LinuxLine::InputCount()
{
    int queued = 0;
    Check(system_->Ioctl(device_->Fd(), FIONREAD, &queued), "FIONREAD");
    return queued;
}

int LinuxLine::Read(void* buffer, int count)
{
    int got = 0;
    while (got < count) {
        const ssize_t read = system_->Read(device_->Fd(), static_cast<char*>(buffer) + got,
                                           static_cast<std::size_t>(count - got));
        if (read == -EINTR)
            continue;
        if (read == -EAGAIN || read == 0)
            break;
        if (read < 0)
            Check(static_cast<int>(read), "read");
        got += static_cast<int>(read);
    }
    if (thread_)
        thread_->NoteRead(static_cast<std::size_t>(got));
    return got;
}

TLineErrors LinuxLine::TakeLineErrors()
{
    if (!lineCounters_)
        return {};
    LineCounts now;
    const int result = ReadLineCounts(*system_, device_->Fd(), now);
    if (ComDevice::Unsupported(result)) {
        lineCounters_ = false;
        return {};
    }
    Check(result, "TIOCGICOUNT");
    TLineErrors errors;
    if (lineCounts_)
        errors = ChangedErrors(*lineCounts_, now);
    lineCounts_ = now;
    return errors;
}

// --- modem lines ---

void LinuxLine::SetDTR() { SetModemLine(true, TIOCM_DTR); }

TModemStatus LinuxLine::ModemStatus()
{
    int lines = 0;
    const int result = system_->Ioctl(device_->Fd(), TIOCMGET, &lines);
    TModemStatus status;
    if (ComDevice::Unsupported(result))
        return status;
    Check(result, "TIOCMGET");
    status[msCTS] = lines & TIOCM_CTS;
    status[msDSR] = lines & TIOCM_DSR;
    status[msRing] = lines & TIOCM_RNG;
    status[msRLSD] = lines & TIOCM_CAR;
    return status;
}

// --- line events ---

std::uint32_t LinuxLine::SilentEvents() const { return kSilent; }

bool LinuxLine::StartEvents(const EventSettings& settings, EventReports reports)
{
    txEmptyWanted_ = reports.txEmptyWanted;
    thread_ = LinuxEventThread::Start(device_, system_->WakeDescriptor(), settings, std::move(reports));
    return thread_ != nullptr;
}

void LinuxLine::StopEvents() { thread_.reset(); } // stops and joins it

void LinuxLine::SetEventMask(std::uint32_t mask)
{
    if (thread_)
        thread_->SetMask(mask);
}

void LinuxLine::SetEventPriority(TThreadPriority priority)
{
    if (thread_)
        thread_->SetPriority(priority);
}
