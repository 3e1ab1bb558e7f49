// A port lost under the window (an adapter knocked loose, a hub that resets) is opened again when
// its device comes back, with the window's settings, and the running test goes on with its next
// tick. The user's own choice of a port or a rate meanwhile cancels that.
#include "app/Form1.h"

#include "serial/ComLine.h"

#include <QTime>

void TForm1::WatchForUnplug()
{
    // The channel keeps its errors to itself; the one that says the device behind the open port
    // has gone (the driver reports it as ComLine::kGone, then closes the port) concerns the window
    // as well.
    channel_->SetOnError([this, channelError = channel_->OnError()](
                             TCustomComPort* port, EComError& error, TComAction& action) {
        const bool open = port->GetActive();
        channelError(port, error, action);
        if (open && error.ErrorCode() == ComLine::kGone)
            session_.Lost();
    });
}

void TForm1::RememberOpenPort()
{
    session_.Opened(ComNames::FromEnvironment(), "COM" + std::to_string(channel_->Port()));
}

void TForm1::ReopenReturnedPort()
{
    if (channel_->ok())
        return;
    const std::optional<std::string> name = session_.Returned(ComNames::FromEnvironment());
    if (!name)
        return;
    // The list shows where it is now: another number, when its by-id name found it there.
    const int number = ComNames::Number(*name);
    channel_->SetPort(number);
    if (const int item = Port->findText(QString::fromStdString(*name)); item > 0)
        Port->setCurrentIndex(item);
    if (!ReopenChannel())
        return;
    Schnittstelle->SetCaption(QStringLiteral("COM%1 OK!").arg(channel_->Port()));
    Schnittstelle->SetHint(kInterfaceHint + QStringLiteral("\nReopened at %1 after a reconnect")
                                                .arg(QTime::currentTime().toString("HH:mm:ss")));
}
