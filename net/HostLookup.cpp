#include "net/HostLookup.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

// What one lookup shares with its worker thread. The worker may outlive the lookup's owner: it
// keeps the record alive and touches nothing else.
struct HostLookup::Worker {
    std::string name;
    bool again = false;
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    std::optional<Ipv4Address> address;
};

HostLookup::HostLookup(Resolver resolver, ClockReader clock)
    : resolver_(std::move(resolver)), clock_(std::move(clock))
{
}

HostLookup::Answer HostLookup::Find(const std::string& name)
{
    TakeAnswer();
    if (name != name_) {
        name_ = name;
        known_.reset();
    }
    if (known_ && known_->state == State::Failed && !known_->justFailed &&
        clock_() - failedAt_ >= kRetryAfter)
        known_.reset();
    if (!known_ && !running_)
        Start(false);
    if (!known_)
        return {};
    const Answer answer = *known_;
    known_->justFailed = false;
    return answer;
}

void HostLookup::LookUpAgain()
{
    TakeAnswer();
    known_.reset();
    if (!running_)
        Start(true);
}

void HostLookup::Wait(std::chrono::milliseconds limit) const
{
    if (!running_)
        return;
    std::unique_lock lock(running_->mutex);
    running_->answered.wait_for(lock, limit, [this] { return running_->done; });
}

void HostLookup::Start(bool again)
{
    auto worker = std::make_shared<Worker>();
    worker->name = name_;
    worker->again = again;
    try {
        // Detached: a name service that never answers must hold up neither the caller nor the
        // program's exit.
        std::thread([worker, resolver = resolver_] {
            std::optional<Ipv4Address> address;
            try {
                address = resolver(worker->name);
            } catch (...) {
                // A failing name service is an unknown host.
            }
            const std::lock_guard lock(worker->mutex);
            worker->address = address;
            worker->done = true;
            worker->answered.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        Failed(again); // no thread to be had: as a failed lookup
        return;
    }
    running_ = std::move(worker);
}

void HostLookup::TakeAnswer()
{
    if (!running_)
        return;
    {
        const std::lock_guard lock(running_->mutex);
        if (!running_->done)
            return;
    }
    const std::shared_ptr<Worker> worker = std::exchange(running_, nullptr);
    if (worker->name != name_)
        return; // asked for a name no longer wanted
    if (worker->address)
        known_ = Answer{State::Found, *worker->address};
    else
        Failed(worker->again);
}

void HostLookup::Failed(bool again)
{
    known_ = Answer{State::Failed, {}, true, again};
    failedAt_ = clock_();
}
