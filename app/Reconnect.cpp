// A port lost under the window (an adapter knocked loose, a hub that resets) is opened again when
// its device comes back, with the window's settings, and the running test goes on with its next
// tick. The user's own choice of a port or a rate meanwhile cancels that.
#include "app/Form1.h"

#include <QTime>
#include <QTimer>

namespace {
// How often a returned device that refused for a passing reason is tried again.
constexpr int kRetryEveryMs = 250;
} // namespace

void TForm1::WatchForReconnects()
{
    reopenRetry_ = new QTimer(this);
    reopenRetry_->setSingleShot(true);
    reopenRetry_->setInterval(kRetryEveryMs);
    connect(reopenRetry_, &QTimer::timeout, this,
            [this] { Guarded(desktop_, [this] { ReopenReturnedPort(); }); });
}

void TForm1::PortLost(QObject* Sender, const std::string& reason)
{
    Q_UNUSED(Sender);
    Schnittstelle->SetCaption(QString::fromStdString(reason));
    Schnittstelle->SetHint(kInterfaceHint);
    session_.Lost(names_);
}

int TForm1::PortNumber() const
{
    return ComNames::Number(channel_->DeviceName());
}

void TForm1::RememberOpenPort()
{
    session_.Opened(names_, "COM" + std::to_string(PortNumber()));
}

void TForm1::ReopenReturnedPort()
{
    if (channel_->ok())
        return;
    const auto now = PortSession::Clock::now();
    const std::optional<std::string> name = session_.Returned(names_, now);
    if (!session_.Doubt().empty())
        Schnittstelle->SetHint(kInterfaceHint + "\n" + QString::fromStdString(session_.Doubt()));
    if (!name)
        return;
    // The list shows where it is now: another number, when it came back under one.
    channel_->SetPort(ComNames::Number(*name));
    if (const int item = Port->findText(QString::fromStdString(*name)); item > 0)
        Port->setCurrentIndex(item);
    try {
        channel_->OpenPort();
    } catch (const std::exception&) {
        // the reason is in LastError
    }
    if (!channel_->ok()) {
        // udev hands a new node to its group a moment after it appears, ModemManager holds a
        // new ttyACM for a few seconds while it probes it, a Windows driver may still be
        // starting: such a refusal may pass by itself.
        const TComErrorKind kind = channel_->LastErrorKind();
        if (session_.Refused(kind == ekBusy || kind == ekDenied, now))
            reopenRetry_->start();
        else
            ShowPortError();
        return;
    }
    RememberOpenPort();
    Schnittstelle->SetCaption(QStringLiteral("COM%1 OK!").arg(PortNumber()));
    Schnittstelle->SetHint(kInterfaceHint + QStringLiteral("\nReopened at %1 after a reconnect")
                                                .arg(QTime::currentTime().toString("HH:mm:ss")));
}
