#include "serial/win32/CommApi.h"

#include "os/win32/WideText.h"

namespace {

DWORD Outcome(BOOL succeeded) { return succeeded ? ERROR_SUCCESS : ::GetLastError(); }

class NativeCommApi : public CommApi {
public:
    DWORD OpenDevice(const std::string& path, HANDLE& device) override
    {
        device = ::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED,
                               nullptr);
        return Outcome(device != INVALID_HANDLE_VALUE);
    }

    DWORD CloseHandle(HANDLE device) override { return Outcome(::CloseHandle(device)); }

    DWORD CancelSynchronousIo(HANDLE thread) override
    {
        return Outcome(::CancelSynchronousIo(thread));
    }

    DWORD ReadFile(HANDLE device, void* buffer, DWORD count, OVERLAPPED& transfer) override
    {
        return Outcome(::ReadFile(device, buffer, count, nullptr, &transfer));
    }

    DWORD WriteFile(HANDLE device, const void* bytes, DWORD count, OVERLAPPED& transfer) override
    {
        return Outcome(::WriteFile(device, bytes, count, nullptr, &transfer));
    }

    DWORD WaitCommEvent(HANDLE device, DWORD& events, OVERLAPPED& transfer) override
    {
        return Outcome(::WaitCommEvent(device, &events, &transfer));
    }

    DWORD GetOverlappedResult(HANDLE device, OVERLAPPED& transfer, DWORD& moved,
                              bool wait) override
    {
        return Outcome(::GetOverlappedResult(device, &transfer, &moved, wait));
    }

    DWORD CancelIoEx(HANDLE device, OVERLAPPED& transfer) override
    {
        return Outcome(::CancelIoEx(device, &transfer));
    }

    DWORD SetCommMask(HANDLE device, DWORD mask) override
    {
        return Outcome(::SetCommMask(device, mask));
    }

    DWORD ClearCommError(HANDLE device, DWORD& errors, COMSTAT& status) override
    {
        return Outcome(::ClearCommError(device, &errors, &status));
    }

    DWORD PurgeComm(HANDLE device, DWORD flags) override
    {
        return Outcome(::PurgeComm(device, flags));
    }

    DWORD GetCommState(HANDLE device, DCB& state) override
    {
        return Outcome(::GetCommState(device, &state));
    }

    DWORD SetCommState(HANDLE device, const DCB& state) override
    {
        DCB copy = state;
        return Outcome(::SetCommState(device, &copy));
    }

    DWORD SetCommTimeouts(HANDLE device, const COMMTIMEOUTS& timeouts) override
    {
        COMMTIMEOUTS copy = timeouts;
        return Outcome(::SetCommTimeouts(device, &copy));
    }

    DWORD SetupComm(HANDLE device, DWORD input, DWORD output) override
    {
        return Outcome(::SetupComm(device, input, output));
    }

    DWORD EscapeCommFunction(HANDLE device, DWORD function) override
    {
        return Outcome(::EscapeCommFunction(device, function));
    }

    DWORD GetCommModemStatus(HANDLE device, DWORD& lines) override
    {
        return Outcome(::GetCommModemStatus(device, &lines));
    }

    DWORD WaitForAny(const HANDLE* objects, DWORD count, DWORD timeoutMs) override
    {
        return ::WaitForMultipleObjects(count, objects, FALSE, timeoutMs);
    }
};

} // namespace

std::shared_ptr<CommApi> CommApi::Native() { return std::make_shared<NativeCommApi>(); }
