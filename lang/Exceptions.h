#pragma once
// The exception family every folder shares. Kept free of Qt so that the transports, the window
// and the board can all raise and catch the same types.

#include <stdexcept>
#include <string>

// The general exception class: an error that carries a message text for the user.
// EComError (serial) and UDPSockError (net) derive from it.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// The silent abort: ends an operation without anything being shown. The program's top-level
// handling catches it and stays quiet; callers that want the reason read it elsewhere (the
// serial channel keeps it in LastError).
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
};
