#include "serial/linux/HolderSearch.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <system_error>

namespace {

bool Running(int pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

bool Ready(const std::future<std::optional<PortHolder>>& answer)
{
    return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

} // namespace

std::optional<PortHolder> HolderSearch::Refused(const std::string& device,
                                                std::chrono::milliseconds wait)
{
    const bool holderEnded = known_ && *known_ && !Running((*known_)->pid);
    if (device != device_ || holderEnded) {
        std::erase_if(left_, Ready);
        if (answer_.valid())
            left_.push_back(std::move(answer_));
        device_ = device;
        known_.reset();
        try {
            answer_ = std::async(std::launch::async, lookup_, device);
        } catch (const std::system_error&) {
            known_.emplace(); // no thread to spare: nobody named
        }
    } else {
        wait = std::chrono::milliseconds(0);
    }
    if (!known_ && answer_.valid() &&
        answer_.wait_for(wait) == std::future_status::ready)
        known_ = answer_.get();
    return known_ ? *known_ : std::nullopt;
}

void HolderSearch::Opened(const std::string& device)
{
    if (device == device_)
        device_.clear();
}
