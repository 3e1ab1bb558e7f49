#include "BoardProcess.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <csignal>

BoardProcess::BoardProcess(std::shared_ptr<const PortsDirectory> ports)
    : ports_(std::move(ports)), environment_(ports_->Environment())
{
    environment_.insert("QT_QPA_PLATFORM", "offscreen");
    process_.setProcessEnvironment(environment_);
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

BoardProcess::~BoardProcess()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

bool BoardProcess::Start(const QStringList& extraArguments)
{
    process_.start(MARQBOARD_PATH, QStringList{"--print", "--udp", "127.0.0.1:0"} + extraArguments);
    if (!process_.waitForStarted(10000)) {
        failure_ = "marqboard did not start: " + process_.errorString().toStdString();
        return false;
    }
    QJsonObject event;
    if (!NextEvent(event, 20000) || !event.contains("listening")) {
        failure_ = "marqboard did not announce where it listens";
        return false;
    }
    const QJsonObject where = event["listening"].toObject();
    com_ = where["serial"].toString();
    udpPort_ = where["udp"].toString().section(':', -1).toInt();
    return true;
}

QString BoardProcess::Link() const
{
    return QString::fromStdString(ports_->Path()) + "/" + com_;
}

void BoardProcess::Pump(int milliseconds)
{
    if (!process_.canReadLine())
        process_.waitForReadyRead(milliseconds);
    while (process_.canReadLine())
        pending_.push_back(QJsonDocument::fromJson(process_.readLine()).object());
}

bool BoardProcess::NextEvent(QJsonObject& event, int milliseconds)
{
    if (!pending_.empty()) {
        event = pending_.front();
        pending_.pop_front();
        return true;
    }
    const QDeadlineTimer deadline(milliseconds);
    while (!process_.canReadLine()) {
        if (deadline.hasExpired() || process_.state() == QProcess::NotRunning)
            return false;
        process_.waitForReadyRead(static_cast<int>(std::min<qint64>(deadline.remainingTime(), 200)));
    }
    event = QJsonDocument::fromJson(process_.readLine()).object();
    return true;
}

bool BoardProcess::WaitFor(const std::function<bool(const QJsonObject&)>& wanted, int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    QJsonObject event;
    while (NextEvent(event, static_cast<int>(std::max<qint64>(deadline.remainingTime(), 0))))
        if (wanted(event))
            return true;
    return false;
}

int BoardProcess::Interrupt()
{
    ::kill(static_cast<pid_t>(process_.processId()), SIGINT);
    if (!process_.waitForFinished(10000))
        return -1;
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}
