#include "app/ScriptedRun.h"

#include "app/Form1.h"
#include "net/NMUDP.h"
#include "os/SystemText.h"

#include <QDesktopServices>
#include <QTimer>

#include <utility>

ScriptedRun::ScriptedRun(std::function<void(const QString&)> print) : print_(std::move(print)) {}

void ScriptedRun::ShowMessage(const MessageBoxText& message)
{
    failed_ = true;
    Report(message.text);
}

void ScriptedRun::Open(const QUrl& target)
{
    QDesktopServices::openUrl(target);
}

void ScriptedRun::Watch(TForm1& form, bool serialLine)
{
    serialLine_ = serialLine;
    if (serialLine_) {
        TNexComThread& channel = form.Channel();
        channel.SetOnError([this, &channel, previous = channel.OnError()](
                               TCustomComPort* port, EComError& error, TComAction& action) {
            const bool open = port->GetActive();
            if (previous)
                previous(port, error, action);
            failed_ = true;
            // A device still on its way out refuses the window's reopen with a reason of its
            // own: the loss has been said once already.
            if (error.Kind() == ekGone && !open && lossSaid_)
                return;
            lossSaid_ = lossSaid_ || (error.Kind() == ekGone && open);
            channelErrors_ << QString::fromStdString(channel.LastError());
            QTimer::singleShot(0, this, &ScriptedRun::ReportChannelErrors);
        });
    }
    // A datagram the system refused leaves the window as it was, but the line did not go out.
    form.NMUDP1->OnSendRefused = [this](QObject*, int error) {
        failed_ = true;
        Report(QString::fromStdString(SystemText(error)));
    };
    // "Data:" shows each line as it leaves, carriage return included; any other text there is
    // the datagram's failure.
    connect(form.Daten, &TLabel::CaptionChanged, this, [this](const QString& caption) {
        if (caption.endsWith(QLatin1Char('\r')))
            return;
        failed_ = true;
        Report(caption);
    });
}

int ScriptedRun::Finish(TForm1& form)
{
    if (serialLine_) {
        TNexComThread& channel = form.Channel();
        if (channel.ok()) {
            // Writes go out in the background: a last line must be on the line, or its failure
            // known, before the window closes the port.
            try {
                channel.Write(nullptr, 0, true);
            } catch (const std::exception&) {
                // the channel's error handler has the reason
            }
        }
        ReportChannelErrors();
        if (!channel.ok()) {
            // Not open at the end: it never opened, or it went away (an adapter pulled out).
            failed_ = true;
            const QString reason = QString::fromStdString(channel.LastError());
            Report(reason.isEmpty() ? QStringLiteral("The port is closed") : reason);
        }
    }
    return failed_ ? 1 : 0;
}

void ScriptedRun::Report(const QString& text)
{
    for (const QString& shown : std::as_const(printed_)) {
        if (shown.contains(text))
            return;
    }
    printed_ << text;
    print_(text);
}

void ScriptedRun::ReportChannelErrors()
{
    for (const QString& error : std::exchange(channelErrors_, {}))
        Report(error);
}
