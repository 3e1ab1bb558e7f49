#pragma once
// What the port needs of the operating system: one open serial line, and the system that opens
// it. The port (TCustomComPort) keeps what every system shares: its settings, the error path,
// the handlers and the order they run in. A line does the rest, each system in its own backend
// (serial/linux, serial/win32): opening and letting go, line settings, the write in the
// background, reading, line errors, modem lines, and the thread that waits for line events.
//
// Calls that fail throw ComLine::Failure with the system's own error number, what it means
// (TComErrorKind, decided by the backend where the call failed) and the call that failed; the
// port passes it through its error path.

#include "os/ComNames.h"
#include "serial/ComTypes.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct LineSettings;
class TTimeouts;

class ComLine {
public:
    struct Failure {
        int error;
        TComErrorKind kind;
        const char* operation;
        // What the system says beyond the error, for people: who holds a busy device. Empty
        // when it says nothing.
        std::string detail = {};
    };

    // What became of the writes since the last WaitWrite.
    struct WriteOutcome {
        int error = 0;              // system error number of a failed call, or 0
        TComErrorKind kind = ekOther; // what it means
        const char* operation = ""; // that call
        bool timedOut = false;      // a write ended short
    };

    // The reports of the event thread, run on the thread that started it.
    struct EventReports {
        // The events one wait found (ComEvent bits).
        std::function<void(std::uint32_t events)> found;
        // The thread has ended on a failed wait.
        std::function<void(const Failure& failure)> failed;
        // Whether a drained output queue is worth reporting now (the owner may have nothing to
        // do with it at the moment, and looking costs a wake-up per write).
        std::function<bool()> txEmptyWanted;
    };
    struct EventSettings {
        std::uint32_t mask = 0;
        TThreadPriority priority = tpNormal;
        // Whether the thread waits until each dispatch has run.
        bool synchronize = true;
    };

    virtual ~ComLine() = default;

    // --- settings ---
    // Rewrites the line settings; the line on its way goes out at the old ones first.
    virtual void Configure(const LineSettings& settings) = 0;
    // The driver's queue sizes, where the system has settable ones.
    virtual void SetBufferSizes(std::int32_t input, std::int32_t output) = 0;

    // --- writing ---
    // Starts a background write of a copy of the bytes; the previous one must have ended
    // (WaitWrite). Returns nothing, or the failure of a write that could not start (it has
    // ended).
    virtual std::optional<Failure> StartWrite(std::string_view bytes, const TTimeouts& timeouts) = 0;
    // Waits until the write in progress has ended, within its time-out, and says what became of
    // the writes since the last call.
    virtual WriteOutcome WaitWrite() = 0;
    // Throws away the write in progress and the driver's output queue.
    virtual void PurgeOutput() = 0;
    // Lets the last line leave, for a bounded time, then lets the device go as it was found.
    // The line is closed afterwards; calling it again does nothing.
    virtual void Close() = 0;

    // --- reading ---
    // Bytes waiting in the driver's input queue.
    virtual int InputCount() = 0;
    // Reads at most count of the bytes already received; never waits for more.
    virtual int Read(void* buffer, int count) = 0;
    // The line errors seen since the last call (every call that reads them counts).
    virtual TLineErrors TakeLineErrors() = 0;

    // --- modem lines ---
    // A device without modem lines has an empty status and ignores SetDTR.
    virtual void SetDTR() = 0;
    virtual TModemStatus ModemStatus() = 0;

    // --- line events ---
    // The events this system never raises: their handlers are kept but need no thread.
    virtual std::uint32_t SilentEvents() const = 0;
    // Starts the event thread; false when none can be made. What the lines look like now is
    // the starting point for changes.
    virtual bool StartEvents(const EventSettings& settings, EventReports reports) = 0;
    // Ends the thread and joins it; what it handed over and has not run yet is dropped.
    virtual void StopEvents() = 0;
    virtual bool Watching() const = 0;
    virtual void SetEventMask(std::uint32_t mask) = 0;
    virtual void SetEventPriority(TThreadPriority priority) = 0;
};

class ComSystem {
public:
    // `names`: where COM names lead, as the program's main found it.
    explicit ComSystem(ComNames names) : names_(std::move(names)) {}
    virtual ~ComSystem() = default;
    // Opens the serial device a name leads to ("COMn", "\\.\COMn" or the system's own path)
    // for this process alone, with nothing pending on it.
    virtual std::unique_ptr<ComLine> OpenLine(const std::string& name) = 0;
    const ComNames& Names() const { return names_; }
    // The system the program was built for.
    static std::shared_ptr<ComSystem> Native(ComNames names);

private:
    ComNames names_;
};
