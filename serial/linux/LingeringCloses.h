#pragma once
// The devices whose last close by this process still runs on a thread of its own. The kernel's
// close of a tty holds the tty's lock while it drains, up to closing_wait (30 s), and an open of
// the same device waits for that lock even with O_NONBLOCK: such an open is refused instead.

#include <mutex>
#include <set>
#include <sys/types.h>

class LingeringCloses {
public:
    void Begin(dev_t device)
    {
        std::lock_guard lock(mutex_);
        devices_.insert(device);
    }
    void End(dev_t device)
    {
        std::lock_guard lock(mutex_);
        if (const auto found = devices_.find(device); found != devices_.end())
            devices_.erase(found);
    }
    bool Contains(dev_t device) const
    {
        std::lock_guard lock(mutex_);
        return devices_.contains(device);
    }

private:
    mutable std::mutex mutex_;
    std::multiset<dev_t> devices_;
};
