#include "SerialRoute.h"

#include "serial/NexCom.h"

namespace board {
namespace {

class SilentChannel : public TNexComThread {
public:
    using TNexComThread::TNexComThread;

protected:
    void MessageBeep(unsigned) override {}
};

} // namespace

SerialRoute::SerialRoute(BoardInput& input, const ComNames& names, const std::string& device, int baud,
                         bool kappa)
    : channel_(std::make_unique<SilentChannel>(names))
{
    channel_->SetDeviceName(device); // the driver resolves "COMn" itself
    channel_->SetBaud(baud);
    channel_->SetKappaFrame(kappa);
    channel_->SetOnStringReceived([&input](QObject*, std::string& text) {
        input.StringReceived(Route::Serial, text);
    });
    channel_->SetOnMarqReceived([&input](QObject*, char address, std::int32_t start, char mode,
                                         std::int32_t time, std::int32_t place, const char* line) {
        input.MarqReceived(Route::Serial, protocol::MarqFields{address, start, mode, time, place}, line);
    });
    try {
        channel_->OpenPort();
    } catch (const EAbort&) {
    }
    if (!channel_->ok())
        throw Exception("Cannot open " + device + ": " + channel_->LastError());

    watch_.setInterval(500);
    QObject::connect(&watch_, &QTimer::timeout, [this] {
        if (channel_->ok())
            return;
        watch_.stop();
        if (OnLost)
            OnLost(channel_->LastError());
    });
    watch_.start();
}

SerialRoute::~SerialRoute() = default;

bool SerialRoute::Open() const { return channel_->ok(); }

std::string SerialRoute::LastError() const { return channel_->LastError(); }

} // namespace board
