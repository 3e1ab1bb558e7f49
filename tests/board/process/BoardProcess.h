#pragma once
// The real marqboard program in --print mode, started for a test with its own ports directory
// and a free UDP port, and its JSON output read with bounded waits.

#include "support/PortsDirectory.h"

#include <QJsonObject>
#include <QProcess>
#include <deque>
#include <functional>
#include <memory>
#include <string>

class BoardProcess {
public:
    // `ports`: another board's, to share them.
    explicit BoardProcess(
        std::shared_ptr<const PortsDirectory> ports = std::make_shared<const PortsDirectory>());
    ~BoardProcess();

    // Starts the board and waits for it to say where it listens. False (with the reason in
    // Failure()) when it did not come up.
    bool Start(const QStringList& extraArguments = {});

    const QString& Com() const { return com_; }
    int UdpPort() const { return udpPort_; }
    QString Link() const; // the ports-directory link the tester opens
    const std::shared_ptr<const PortsDirectory>& Ports() const { return ports_; }
    QProcessEnvironment Environment() const { return environment_; }
    std::string Failure() const { return failure_; }

    // Takes events until `wanted` accepts one or `milliseconds` pass; events already taken are
    // not offered again.
    bool WaitFor(const std::function<bool(const QJsonObject&)>& wanted, int milliseconds);
    // Lets the board's output in (so that it never blocks on a full pipe) for up to
    // `milliseconds`; WaitFor offers what arrived.
    void Pump(int milliseconds);

    // Ctrl-C, then the exit code (or -1 when it did not end within a few seconds).
    int Interrupt();

    QProcess& Process() { return process_; }

private:
    bool NextEvent(QJsonObject& event, int milliseconds);

    std::deque<QJsonObject> pending_;

    std::shared_ptr<const PortsDirectory> ports_;
    QProcessEnvironment environment_;
    QProcess process_;
    QString com_;
    int udpPort_ = 0;
    std::string failure_;
};
