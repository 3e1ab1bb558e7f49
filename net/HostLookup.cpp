#include "net/HostLookup.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// What one lookup shares with its worker. Each lookup has its own, so a second lookup started
// while the first one waits can neither take nor overwrite the first one's answer.
struct PendingLookup {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    std::optional<Ipv4Address> address;
    QEventLoop* waiter = nullptr; // the caller's loop, only while the caller is waiting in it
};

} // namespace

std::optional<Ipv4Address> HostLookup::Resolve(const std::string& name) const
{
    auto pending = std::make_shared<PendingLookup>();
    QEventLoop loop;
    const bool withEvents = QCoreApplication::instance() != nullptr;
    if (withEvents)
        pending->waiter = &loop;

    try {
        // Detached: a name service that never answers must not hold up the program's exit.
        // The worker keeps only its own copies and the shared record alive.
        std::thread([pending, resolver = resolver_, name] {
            std::optional<Ipv4Address> address;
            try {
                address = resolver(name);
            } catch (...) {
                // A failing name service is an unknown host.
            }
            const std::lock_guard lock(pending->mutex);
            pending->done = true;
            pending->address = address;
            pending->answered.notify_all();
            if (pending->waiter)
                QMetaObject::invokeMethod(pending->waiter, &QEventLoop::quit, Qt::QueuedConnection);
        }).detach();
    } catch (const std::system_error&) {
        return std::nullopt; // no thread to be had: treated as a failed lookup
    }

    std::unique_lock lock(pending->mutex);
    if (withEvents) {
        if (!pending->done) {
            lock.unlock();
            // Returns on the answer, or early when the application is quitting.
            loop.exec();
            lock.lock();
        }
        pending->waiter = nullptr;
    } else {
        pending->answered.wait(lock, [&] { return pending->done; });
    }
    return pending->done ? pending->address : std::nullopt;
}
