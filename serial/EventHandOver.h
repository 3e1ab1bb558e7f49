#pragma once
// How an event thread hands what it found to the user-interface thread, and how its owner stops
// it: once Stop has come, nothing more is posted, and the call the thread waits for lets it go,
// so the thread can always be joined. Calls posted and not run by the time the hand-over is
// destroyed are dropped.

#include "serial/HandOver.h"

#include <functional>
#include <memory>
#include <mutex>

class EventHandOver {
public:
    // On the thread the calls are for.
    EventHandOver() : point_(std::make_unique<HandOverPoint>()) {}

    // On the event thread: posts the call unless Stop has come, and waits until it has run if
    // asked to (or until Stop).
    void Post(std::function<void()> call, bool wait)
    {
        std::shared_ptr<HandOverTicket> ticket;
        {
            std::lock_guard lock(mutex_);
            if (stopped_)
                return;
            ticket = point_->Post(std::move(call));
            pending_ = ticket;
        }
        if (wait)
            ticket->Wait();
    }

    // On the owner's thread.
    void Stop()
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        if (pending_)
            pending_->Release();
    }

private:
    std::mutex mutex_;
    bool stopped_ = false;
    std::shared_ptr<HandOverTicket> pending_;
    std::unique_ptr<HandOverPoint> point_;
};
