#include "SignalWatcher.h"

#include <cerrno>
#include <csignal>
#include <sys/signalfd.h>
#include <system_error>

namespace board {
namespace {

sigset_t TerminationSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
            sigaddset(&set, signal);
    }
    return set;
}

} // namespace

void SignalWatcher::BlockTerminationSignals()
{
    const sigset_t set = TerminationSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalWatcher::SignalWatcher(QObject* parent) : QObject(parent)
{
    const sigset_t set = TerminationSignals();
    fd_ = UniqueFd(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!fd_.valid())
        throw std::system_error(errno, std::generic_category(), "signalfd");
    notifier_ = std::make_unique<QSocketNotifier>(fd_.get(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &SignalWatcher::Read);
}

void SignalWatcher::Read()
{
    signalfd_siginfo info{};
    while (::read(fd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        emit Terminated(static_cast<int>(info.ssi_signo));
}

} // namespace board
