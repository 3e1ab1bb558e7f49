#pragma once
// Who holds a busy device, looked up on a thread of its own and once per refusal: the lookup
// walks the descriptors of every process, which takes long on a machine with many, and a device
// that comes back busy is tried again and again meanwhile.

#include "os/linux/PortHolder.h"

#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

class HolderSearch {
public:
    using Lookup = std::function<std::optional<PortHolder>(const std::string& device)>;
    explicit HolderSearch(Lookup lookup) : lookup_(std::move(lookup)) {}

    // `device` refused to open as busy: who holds it, as far as known after waiting up to `wait`
    // for a lookup this refusal starts. A refusal goes on until the device opens or the holder
    // it named has ended; meanwhile the answer found is given again without waiting.
    std::optional<PortHolder> Refused(const std::string& device, std::chrono::milliseconds wait);
    // `device` opened: its refusal is over.
    void Opened(const std::string& device);

private:
    Lookup lookup_;
    std::string device_; // refused now; empty when nothing is
    std::future<std::optional<PortHolder>> answer_;
    std::optional<std::optional<PortHolder>> known_;
    // Lookups of earlier refusals that are still running; waited for at the end.
    std::vector<std::future<std::optional<PortHolder>>> left_;
};
