#pragma once
// The Win32 calls a line and its event thread make, behind one class so that tests can script
// what drivers do and a pseudo-terminal under wine cannot show: writes that end short or fail on
// their time-out, waits that end aborted, unplugged adapters, transmitters that drain slowly,
// pending waits that no cancel ends.
//
// Every call returns the system's error code, taken right after the call: ERROR_SUCCESS,
// ERROR_IO_PENDING for an overlapped transfer still under way, or why it failed. Event objects
// are real ones (CreateEvent): an overlapped transfer signals its record's event when it ends.

#include <windows.h>

#include <memory>
#include <string>

class CommApi {
public:
    virtual ~CommApi() = default;

    // The calls of the system the program runs on.
    static std::shared_ptr<CommApi> Native();

    // CreateFile of a communications device for overlapped transfers, for this process alone
    // (the name is windows.h's macro for CreateFileA and CreateFileW).
    virtual DWORD OpenDevice(const std::string& path, HANDLE& device) = 0;
    virtual DWORD CloseHandle(HANDLE device) = 0;
    // Ends the synchronous call (an open) that a thread is blocked in, where its driver allows.
    virtual DWORD CancelSynchronousIo(HANDLE thread) = 0;

    virtual DWORD ReadFile(HANDLE device, void* buffer, DWORD count, OVERLAPPED& transfer) = 0;
    virtual DWORD WriteFile(HANDLE device, const void* bytes, DWORD count,
                            OVERLAPPED& transfer) = 0;
    virtual DWORD WaitCommEvent(HANDLE device, DWORD& events, OVERLAPPED& transfer) = 0;
    // What became of an overlapped transfer: ERROR_IO_INCOMPLETE while it goes on, unless asked
    // to wait for its end.
    virtual DWORD GetOverlappedResult(HANDLE device, OVERLAPPED& transfer, DWORD& moved,
                                      bool wait) = 0;
    virtual DWORD CancelIoEx(HANDLE device, OVERLAPPED& transfer) = 0;

    virtual DWORD SetCommMask(HANDLE device, DWORD mask) = 0;
    virtual DWORD ClearCommError(HANDLE device, DWORD& errors, COMSTAT& status) = 0;
    virtual DWORD PurgeComm(HANDLE device, DWORD flags) = 0;
    virtual DWORD GetCommState(HANDLE device, DCB& state) = 0;
    virtual DWORD SetCommState(HANDLE device, const DCB& state) = 0;
    virtual DWORD SetCommTimeouts(HANDLE device, const COMMTIMEOUTS& timeouts) = 0;
    virtual DWORD SetupComm(HANDLE device, DWORD input, DWORD output) = 0;
    virtual DWORD EscapeCommFunction(HANDLE device, DWORD function) = 0;
    virtual DWORD GetCommModemStatus(HANDLE device, DWORD& lines) = 0;

    // WaitForMultipleObjects for any one of the objects: WAIT_OBJECT_0 + its index, WAIT_TIMEOUT
    // or WAIT_FAILED.
    virtual DWORD WaitForAny(const HANDLE* objects, DWORD count, DWORD timeoutMs) = 0;
};
