#pragma once
// What the window needs of the serial channel: a port chosen by number, its line settings,
// opening, closing and writing, the reason of the last failure, and the ports present.

#include <memory>
#include <string>
#include <vector>

class QObject;

class SerialChannel {
public:
    virtual ~SerialChannel() = default;

    virtual bool ok() const = 0;
    // A failed open throws the silent abort and leaves the reason in LastError.
    virtual void OpenPort() = 0;
    virtual void ClosePort() = 0;
    virtual void SendText(const std::string& text) = 0;

    virtual int Port() const = 0;
    virtual void SetPort(int port) = 0;
    virtual void SetBaud(int bitsPerSecond) = 0;
    // 8-N-1 or the Kappa format 7-N-2.
    virtual void SetKappaFormat(bool kappa) = 0;
    virtual std::string LastError() const = 0;

    // COM names of the serial devices present now, in no particular order.
    virtual std::vector<std::string> EnumComDevices() const = 0;
    // What a person recognises the device by (its path, the adapter's name).
    virtual std::string Describe(const std::string& comName) const = 0;
};

// The project's serial channel, owned by `owner`.
std::unique_ptr<SerialChannel> MakeSerialChannel(QObject* owner);
