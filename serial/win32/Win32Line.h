#pragma once
// A serial line on Windows: a communications device opened for overlapped transfers, set up
// with its DCB, written in the background with WriteFile, read with ReadFile from what has
// arrived, watched by a ComEventThread.

#include "serial/ComLine.h"
#include "serial/WireTime.h"
#include "serial/win32/ComEventThread.h"
#include "serial/win32/CommApi.h"
#include "serial/win32/WinHandle.h"

#include <optional>
#include <string>
#include <utility>

class Win32Line : public ComLine {
public:
    // Takes over a device the calls opened: empties its queues and keeps its settings to be put
    // back. Throws Failure (the device is closed then).
    Win32Line(std::shared_ptr<CommApi> api, HANDLE device);
    ~Win32Line() override;

    // The number the port reports for a system error: every way a device says it has gone away
    // is kGone.
    static int Number(DWORD error);
    static bool Gone(DWORD error) { return Number(error) == kGone; }

    void Configure(const LineSettings& settings) override;
    void SetBufferSizes(std::int32_t input, std::int32_t output) override;

    int StartWrite(std::string_view bytes, const TTimeouts& timeouts) override;
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
    // The open device, closed through the calls that opened it.
    class DeviceHandle {
    public:
        DeviceHandle(std::shared_ptr<CommApi> api, HANDLE handle) : api_(std::move(api)), handle_(handle) {}
        ~DeviceHandle() { reset(); }
        DeviceHandle(const DeviceHandle&) = delete;
        DeviceHandle& operator=(const DeviceHandle&) = delete;
        HANDLE get() const { return handle_; }
        bool valid() const { return handle_ != nullptr; }
        void reset()
        {
            if (handle_)
                api_->CloseHandle(std::exchange(handle_, nullptr));
        }

    private:
        std::shared_ptr<CommApi> api_;
        HANDLE handle_;
    };

    HANDLE Device() const { return state_->device; }
    CommApi& Api() const { return *state_->api; }
    // Waits for the write in progress to end, for at most timeoutMs; what became of it is kept
    // for the next WaitWrite. False while it goes on.
    bool EndWrite(DWORD timeoutMs);
    // Reads the error flags and queue lengths; the flags join those not reported yet.
    COMSTAT Status();
    void ApplyTimeouts(const COMMTIMEOUTS& timeouts);

    DeviceHandle device_;
    std::shared_ptr<LineState> state_;
    std::optional<DCB> saved_;
    WireTime wire_;
    std::optional<COMMTIMEOUTS> applied_;

    WinHandle writeDone_; // manual reset, signalled while no write is in progress
    OVERLAPPED write_{};
    std::string copy_;
    bool writing_ = false;
    WriteOutcome outcome_;

    WinHandle readDone_;
    DWORD errors_ = 0; // CE_ flags read and not reported yet

    std::unique_ptr<ComEventThread> thread_;
};
