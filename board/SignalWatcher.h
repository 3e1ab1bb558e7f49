#pragma once
// Turns SIGINT, SIGTERM and SIGHUP into a Qt signal on the main thread, so that Ctrl-C runs the
// normal shutdown (and every destructor) instead of killing the process.

#include "os/linux/UniqueFd.h"

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace board {

class SignalWatcher : public QObject {
    Q_OBJECT
public:
    // Must run before any thread starts, so that every thread inherits the blocked mask and the
    // signals wait for the descriptor. Signals the caller's parent ignores stay ignored.
    static void BlockTerminationSignals();

    explicit SignalWatcher(QObject* parent = nullptr);

signals:
    void Terminated(int signal);

private:
    void Read();

    UniqueFd fd_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace board
