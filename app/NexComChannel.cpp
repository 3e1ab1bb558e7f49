// Placeholder until the serial channel is available: no devices, and opening fails.
#include "app/SerialChannel.h"

#include "protocol/Exceptions.h"

namespace {

class NoSerialChannel : public SerialChannel {
public:
    bool ok() const override { return false; }
    void OpenPort() override { throw EAbort(); }
    void ClosePort() override {}
    void SendText(const std::string&) override {}
    int Port() const override { return port_; }
    void SetPort(int port) override { port_ = port; }
    void SetBaud(int) override {}
    void SetKappaFormat(bool) override {}
    std::string LastError() const override { return "No serial driver"; }
    std::vector<std::string> EnumComDevices() const override { return {}; }
    std::string Describe(const std::string&) const override { return {}; }

private:
    int port_ = 1;
};

} // namespace

std::unique_ptr<SerialChannel> MakeSerialChannel(QObject*)
{
    return std::make_unique<NoSerialChannel>();
}
