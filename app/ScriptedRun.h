#pragma once
// A run that a script started (marqtest --for): nobody sits at the window, so a message box is
// printed instead of waiting for a click, and the exit status says whether every line and
// command went out. The window is watched from outside, through what it shows: message boxes,
// the serial channel's errors (which the window keeps to itself as silent aborts), the
// datagram errors in its "Data:" label and the datagrams the system refused.

#include "app/Desktop.h"

#include <QObject>
#include <QStringList>

#include <functional>

class TForm1;

class ScriptedRun : public QObject, public Desktop {
    Q_OBJECT
public:
    // `print` gets every message the run reports, once each, as the window words it.
    explicit ScriptedRun(std::function<void(const QString&)> print);

    void ShowMessage(const MessageBoxText& message) override;
    void Open(const QUrl& target) override;

    // Starts watching a window that was created with this desktop. `serialLine`: the run asked
    // for a port, so the line must open and stay open.
    void Watch(TForm1& form, bool serialLine);
    // After the event loop, while the window still exists: waits for the last line to leave
    // the port and returns the exit status, 0 when everything went out, otherwise 1.
    int Finish(TForm1& form);

private:
    // Prints `text` unless a message already printed holds it.
    void Report(const QString& text);
    // Channel errors wait for the message box that may follow them with the same reason.
    void ReportChannelErrors();

    std::function<void(const QString&)> print_;
    QStringList printed_;
    QStringList channelErrors_;
    bool serialLine_ = false;
    bool failed_ = false;
    // A device has gone from under the open port and that was said.
    bool lossSaid_ = false;
};
