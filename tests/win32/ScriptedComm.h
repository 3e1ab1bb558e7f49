#pragma once
// The Win32 communications calls as real drivers answer them, scripted: one device behind a UART
// or a USB adapter whose line carries bytes at the rate its DCB sets (or a slower one), a FIFO
// or adapter buffer that the driver's queue (cbOutQue) does not count and that drains at the
// line's pace, write time-outs that end a write short with the bytes handed down so far
// (serial.sys, FTDI's partial counts) or fail it with ERROR_SEM_TIMEOUT (usbser.sys), waits that
// end aborted though nobody cancelled them (usbser.sys; wine on a pseudo-terminal, every one),
// unplugs with each driver's own error (FTDI 22 or 31, CH340 5, wine 21), pending waits that only
// a new mask ends, and writes that nothing ends.
//
// Time is real: a driver thread completes each write when its last byte has entered the FIFO
// (or at its time-out), and every byte leaves the line one frame after the one before it. What
// reaches the far end, and what a purge or a new line setting cut, can be asked afterwards.
//
// A call that would block for good (a wait without time-out on a transfer that never ends)
// returns after HangLimit instead and is counted as a hang, so that a test fails rather than
// hangs.

#include "serial/win32/CommApi.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class ScriptedComm : public CommApi, public std::enable_shared_from_this<ScriptedComm> {
public:
    using Clock = std::chrono::steady_clock;

    // How a driver ends a write that ran out of time; either way the bytes handed down still
    // leave.
    enum class Driver {
        Serial, // serial.sys, FTDI: success, with the bytes handed down (the COMMTIMEOUTS
                // page: a total time-out ends the write, which reports what it wrote)
        Usbser, // usbser.sys: ERROR_SEM_TIMEOUT (121), with the bytes handed down (RJCP
                // SerialPortStream #146)
    };

    ScriptedComm();
    ~ScriptedComm() override;

    // --- the script ---
    void SetDriver(Driver driver);
    // Bytes the transmitter holds beyond the driver's queue (a UART's FIFO, an adapter's buffer):
    // COMSTAT's cbOutQue counts only what the driver still holds (Microsoft's COMSTAT page).
    void SetFifo(int bytes);
    // The line carries this many bits per second whatever the DCB says (flow control, a slow far
    // end: the DCB page's fOutxCtsFlow holds output while CTS is off); 0 stalls it; nullopt: the
    // DCB's rate.
    void SetLineRate(std::optional<int> bitsPerSecond);
    // The device has gone with this error: every call fails with it from now on (CloseHandle
    // excepted); a pending write ends with writeError, a pending wait with waitError (0: error;
    // ERROR_IO_PENDING: the wait stays pending).
    void Unplug(DWORD error, DWORD writeError = 0, DWORD waitError = 0);
    // The next wait to complete (the pending one, or the next that starts) ends with
    // ERROR_OPERATION_ABORTED though nobody cancelled it (usbser.sys aborts a pending wait when a
    // write completes: libserialport commit 33feeb0).
    void AbortNextWait();
    // Every wait ends with ERROR_OPERATION_ABORTED as soon as it starts (wine on a
    // pseudo-terminal with a mask of received bytes only, wine's dlls/ntdll/unix/serial.c, as
    // wine 8 answers here).
    void AbortEveryWait(bool on);
    // WaitCommEvent fails with this error at once (wine on a pseudo-terminal, asked for modem
    // lines: ERROR_NOT_SUPPORTED); 0 lifts it.
    void RefuseWaits(DWORD error);
    // CancelIoEx leaves a pending wait pending; only a new mask ends it (Microsoft, "Canceling
    // IRPs": a request its driver sets no cancel routine for stays pending; the
    // IOCTL_SERIAL_SET_WAIT_MASK page: a new mask completes the pending wait).
    void IgnoreCancelOfWaits(bool on);
    // A new mask leaves a pending wait pending too: with the above, nothing ends it (jSerialComm
    // #266: a thread stuck in its wait on a pulled Cypress adapter).
    void IgnoreMaskChangeOfWaits(bool on);
    // Reads end a while after ReadFile returns ERROR_IO_PENDING, as any overlapped call may
    // (Microsoft, "Synchronous and Asynchronous I/O"; a USB adapter answers each read with a
    // bulk transfer); 0: at once.
    void DelayReads(std::chrono::milliseconds delay);
    // CancelSynchronousIo leaves an open to its driver, which answers in its own time (the
    // call's page: whether an operation can be cancelled is up to its driver).
    void IgnoreCancelOfOpens(bool on);
    // The modem lines (MS_ bits) as the far end sets them; a change raises its event (the
    // WaitCommEvent page: EV_CTS, EV_DSR, EV_RING, EV_RLSD on a change of state).
    void SetModemLines(DWORD lines);
    // Writes from now on end neither at their time-out nor when cancelled, purged or closed,
    // and CloseHandle waits for them (an adapter wedged as it was pulled out: CloseHandle hangs,
    // wjwwood/serial #276, LibreHardwareMonitor #2365). Turned off, the wedged write ends
    // aborted: the adapter has let go at last.
    void WedgeWrites(bool on);
    // Events for the pending wait, or the next one, as far as the mask asks for them.
    void Raise(DWORD events);
    // Bytes from the far end, in the input queue; raises EV_RXCHAR.
    void Receive(const std::string& bytes);
    // CE_ flags for the next ClearCommError.
    void AddLineErrors(DWORD errors);
    // Device opens fail with this error; 0 lifts it.
    void RefuseOpen(DWORD error);
    // Device opens answer only after this long (an outgoing Bluetooth port connecting).
    void DelayOpens(std::chrono::milliseconds delay);
    // How long a call that would block for good blocks before it counts as a hang.
    void SetHangLimit(std::chrono::milliseconds limit);

    // --- what happened ---
    // The bytes that have left the line or are still to leave it, in order.
    std::string Wire() const;
    // Every byte not cut has left the line.
    bool AllLeft() const;
    // When the n-th byte written (from 1) leaves the line completely; nullopt if it never will.
    std::optional<Clock::time_point> LeftTheLine(std::size_t n) const;
    // Bytes a purge threw away after they had entered the FIFO or while on the line, and bytes
    // still to leave when the line settings changed.
    int CutInTheFifo() const;
    int SentAtChangedSettings() const;
    int Hangs() const;
    // Every call made, in order, by name ("WriteFile", "PurgeComm", ...), each with its moment.
    struct Call {
        std::string name;
        Clock::time_point at;
        DWORD argument = 0; // PurgeComm's flags, SetCommMask's mask
    };
    std::vector<Call> Calls() const;
    int CallsOf(const std::string& name) const;
    int WaitsStarted() const;
    // Opens whose thread is still inside CreateFile.
    int OpensUnderWay() const;
    bool Open() const;
    DCB State() const;

    // --- the calls ---
    DWORD OpenDevice(const std::string& path, HANDLE& device) override;
    DWORD CloseHandle(HANDLE device) override;
    DWORD CancelSynchronousIo(HANDLE thread) override;
    DWORD ReadFile(HANDLE device, void* buffer, DWORD count, OVERLAPPED& transfer) override;
    DWORD WriteFile(HANDLE device, const void* bytes, DWORD count,
                    OVERLAPPED& transfer) override;
    DWORD WaitCommEvent(HANDLE device, DWORD& events, OVERLAPPED& transfer) override;
    DWORD GetOverlappedResult(HANDLE device, OVERLAPPED& transfer, DWORD& moved,
                              bool wait) override;
    DWORD CancelIoEx(HANDLE device, OVERLAPPED& transfer) override;
    DWORD SetCommMask(HANDLE device, DWORD mask) override;
    DWORD ClearCommError(HANDLE device, DWORD& errors, COMSTAT& status) override;
    DWORD PurgeComm(HANDLE device, DWORD flags) override;
    DWORD GetCommState(HANDLE device, DCB& state) override;
    DWORD SetCommState(HANDLE device, const DCB& state) override;
    DWORD SetCommTimeouts(HANDLE device, const COMMTIMEOUTS& timeouts) override;
    DWORD SetupComm(HANDLE device, DWORD input, DWORD output) override;
    DWORD EscapeCommFunction(HANDLE device, DWORD function) override;
    DWORD GetCommModemStatus(HANDLE device, DWORD& lines) override;
    DWORD WaitForAny(const HANDLE* objects, DWORD count, DWORD timeoutMs) override;

private:
    static constexpr Clock::time_point kNever = Clock::time_point::max();

    struct Byte {
        char value;
        Clock::time_point arrives;         // handed to the driver
        Clock::time_point inFifo = kNever; // has left the driver's queue
        Clock::time_point starts = kNever; // its start bit goes out
        Clock::time_point leaves = kNever; // its last stop bit has gone
        bool cut = false;
    };
    enum class Kind { Read, Write, Wait };
    struct Transfer {
        Kind kind;
        bool pending = true;
        DWORD error = ERROR_SUCCESS;
        DWORD moved = 0;
        HANDLE event = nullptr;
        DWORD* events = nullptr; // a wait's result
        char* buffer = nullptr;  // a read's, with its size in count
        Clock::time_point due = kNever; // when a delayed read ends
        // A write: its bytes in bytes_, and when it runs out of time.
        std::size_t first = 0;
        std::size_t count = 0;
        Clock::time_point deadline = kNever;
        bool wedged = false;
        std::uint64_t id = 0;
    };
    // Windows cancels the I/O a thread started when the thread ends (Microsoft, "Canceling
    // IRPs"): each thread's pending waits are noted, and its end cancels them. (One its driver
    // does not end holds the thread's end on Windows, up to minutes: not played, since a hook
    // at a thread's end here runs under the loader's lock and would hold every other thread.)
    void ThreadEnded(OVERLAPPED* transfer, std::uint64_t id);
    // Cancels a pending transfer as its driver does; false when the driver ignores it.
    bool Cancel(Transfer& transfer);

    // Under mutex_.
    DWORD Enter(const char* name, HANDLE device, DWORD argument = 0);
    void Complete(Transfer& transfer, DWORD error, DWORD moved);
    void CompleteWait(DWORD events, DWORD error);
    void RaiseLocked(DWORD events);
    std::chrono::nanoseconds ByteTime() const;
    // Lays out the bytes not yet in the FIFO from `from` on, at the line's rate now.
    void Schedule(Clock::time_point from);
    // Ends the writes whose time has come; raises EV_TXEMPTY once the queue is empty.
    void Advance(Clock::time_point now);
    std::size_t QueuedAt(Clock::time_point now) const;
    Clock::time_point NextDue() const;
    void Run();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stop_ = false;

    Driver driver_ = Driver::Serial;
    int fifo_ = 16;
    std::optional<int> lineRate_;
    DWORD gone_ = 0;
    DWORD goneWrite_ = 0;
    DWORD goneWait_ = 0;
    bool abortNextWait_ = false;
    bool abortEveryWait_ = false;
    DWORD refuseWaits_ = 0;
    bool ignoreCancel_ = false;
    bool ignoreMaskChange_ = false;
    bool ignoreCancelOfOpens_ = false;
    DWORD modemLines_ = 0;
    std::chrono::milliseconds readDelay_{0};
    std::map<DWORD, bool> openers_; // threads in CreateFile, and whether they were cancelled
    std::uint64_t transfersStarted_ = 0;
    bool wedgeWrites_ = false;
    DWORD refuseOpen_ = 0;
    std::chrono::milliseconds openDelay_{0};
    std::chrono::milliseconds hangLimit_{3000};

    bool open_ = false;
    DCB state_{};
    COMMTIMEOUTS timeouts_{};
    DWORD mask_ = 0;
    DWORD eventsSeen_ = 0; // raised while no wait was pending
    DWORD lineErrors_ = 0;
    std::deque<char> input_;
    std::vector<Byte> bytes_;
    std::map<OVERLAPPED*, Transfer> transfers_;
    OVERLAPPED* wait_ = nullptr;    // the pending wait
    OVERLAPPED* writing_ = nullptr; // the pending write
    bool txEmptyOwed_ = false;

    int cutInFifo_ = 0;
    int sentAtChangedSettings_ = 0;
    int hangs_ = 0;
    int waitsStarted_ = 0;
    std::vector<Call> calls_;

    std::thread driverThread_;
};
