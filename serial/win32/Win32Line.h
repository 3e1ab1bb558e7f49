#pragma once
// A serial line on Windows: a communications device opened for overlapped transfers, set up
// with its DCB, written in the background with WriteFile, read with ReadFile from what has
// arrived, watched by a Win32EventThread; every call goes through a CommApi.
//
// Every wait is bounded. A transfer that its driver does not end in time is cancelled, and one
// that outlives the cancel too (an adapter wedged as it was pulled out) is given up: its record
// and bytes stay allocated, since the driver may still write to them.

#include "serial/ComLine.h"
#include "serial/WireTime.h"
#include "serial/win32/Win32EventThread.h"
#include "serial/win32/CommApi.h"
#include "serial/win32/WinHandle.h"

#include <chrono>
#include <optional>
#include <string>
#include <utility>

class Win32Line : public ComLine {
public:
    // Takes over a device the calls opened: empties its queues and keeps its settings to be put
    // back. Throws Failure (the device is closed then).
    Win32Line(std::shared_ptr<CommApi> api, HANDLE device);
    ~Win32Line() override;

    // Whether an error of an open device's transfer says the device has gone away. Drivers say
    // so in many ways: FTDI's ERROR_BAD_COMMAND or ERROR_GEN_FAILURE, CH340's
    // ERROR_ACCESS_DENIED, ERROR_OPERATION_ABORTED that nobody asked for, wine's ERROR_NOT_READY
    // for a pseudo-terminal whose far end has closed.
    static bool Gone(DWORD error);
    // What an open device's error means for the port: gone for every way of going away.
    static TComErrorKind KindOf(DWORD error);
    // What an open's error means: ERROR_ACCESS_DENIED there is another program holding the port
    // or a driver still starting, nothing gone yet.
    static TComErrorKind OpeningKindOf(DWORD error);

    void Configure(const LineSettings& settings) override;
    void SetBufferSizes(std::int32_t input, std::int32_t output) override;

    std::optional<Failure> StartWrite(std::string_view bytes, const TTimeouts& timeouts) override;
    WriteOutcome WaitWrite() override;
    void PurgeOutput() override;
    void Close() override;

    int InputCount() override;
    int Read(void* buffer, int count) override;
    TLineErrors TakeLineErrors() override;

    void SetDTR() override;
    TModemStatus ModemStatus() override;

    std::uint32_t SilentEvents() const override { return 0; }
    bool StartEvents(const EventSettings& settings, EventReports reports) override;
    void StopEvents() override { thread_.reset(); }
    bool Watching() const override { return thread_ != nullptr; }
    void SetEventMask(std::uint32_t mask) override;
    void SetEventPriority(TThreadPriority priority) override;

private:
    using Clock = std::chrono::steady_clock;

    // The open device, closed through the calls that opened it.
    class DeviceHandle {
    public:
        DeviceHandle(std::shared_ptr<CommApi> api, HANDLE handle)
            : api_(std::move(api)), handle_(handle)
        {
        }
        ~DeviceHandle() { reset(); }
        DeviceHandle(const DeviceHandle&) = delete;
        DeviceHandle& operator=(const DeviceHandle&) = delete;
        HANDLE get() const { return handle_; }
        bool valid() const { return handle_ != nullptr; }
        HANDLE release() { return std::exchange(handle_, nullptr); }
        void reset()
        {
            if (handle_)
                api_->CloseHandle(std::exchange(handle_, nullptr));
        }

    private:
        std::shared_ptr<CommApi> api_;
        HANDLE handle_;
    };

    // An overlapped transfer: its record and its bytes.
    struct Transfer {
        OVERLAPPED overlapped{};
        std::string bytes;
    };

    HANDLE Device() const { return state_->device; }
    CommApi& Api() const { return *state_->api; }

    // Starts a write of the bytes (a line, or the rest of one that ended short). Returns 0 or
    // the system's number of the error that refused it.
    int Send(std::string bytes);
    // Waits for the write in progress to end, for at most timeoutMs, and takes what became of
    // it for the next WaitWrite; a rest that follows is the write in progress then. False while
    // it goes on.
    bool EndWrite(DWORD timeoutMs);
    // A write (or the rest of one) that ended short: the next WaitWrite says "Timeout", and once
    // some of a line has left, its rest follows, so that no line is cut off by the next one.
    void EndedShort(const std::string& bytes, DWORD moved, bool rest);
    // Ends the write in progress and what is queued, within a bound; a write its driver does
    // not end even then is given up. Returns the purge's error.
    DWORD ThrowAwayOutput();
    // Gives a transfer up with its event, which its driver may still signal: the next transfer
    // gets a new one.
    static void GiveUp(std::unique_ptr<Transfer> transfer, WinHandle& done);
    // Waits, until `by` at the latest, for the write in progress and its rests to end, for the
    // driver's queue to drain and for the last line's time on the line; what is still to go
    // then is thrown away.
    void Settle(Clock::time_point by);
    // When the last line will have left the line, its bytes in a FIFO or adapter included.
    Clock::time_point LineFree() const;
    // Reads the error flags and queue lengths; the flags join those not reported yet.
    COMSTAT Status();
    // A failed call of the user-interface thread. A device that has gone is reported by the
    // event thread, once, which ends the session; the caller then goes on with nothing.
    // Anything else is thrown.
    void Lose(DWORD error, const char* operation);
    void ApplyTimeouts(const COMMTIMEOUTS& timeouts);

    DeviceHandle device_;
    std::shared_ptr<LineState> state_;
    std::optional<DCB> saved_;
    WireTime wire_;
    std::optional<COMMTIMEOUTS> applied_;

    WinHandle writeDone_; // manual reset, signalled while no write is in progress
    WinHandle readDone_;
    std::unique_ptr<Transfer> write_; // the write in progress
    DWORD writeMultiplier_ = 0;       // the caller's write time-outs
    DWORD writeConstant_ = 0;
    Clock::time_point writeEndsBy_{}; // when the driver must have ended it
    bool cancelled_ = false;          // the write in progress was cancelled or purged
    bool rest_ = false;               // it is the rest of a line that ended short
    WriteOutcome outcome_;
    // When the bytes written so far will have left the line at its rate, and when the last
    // write was seen to end, with its size.
    Clock::time_point lineFreeAt_{};
    Clock::time_point lastEnded_{};
    std::size_t lastSize_ = 0;

    DWORD errors_ = 0; // CE_ flags read and not reported yet

    std::unique_ptr<Win32EventThread> thread_;
};
