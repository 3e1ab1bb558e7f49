#include "serial/FileTransfer.h"

#include <algorithm>
#include <limits>

bool FileTransfer::Open(const std::string& name, std::int32_t maxChunk)
{
    file_ = OpenFileStream(name, "rb");
    if (!file_)
        return false;
    const long start = std::ftell(file_.get());
    std::fseek(file_.get(), 0, SEEK_END);
    const long end = std::ftell(file_.get());
    std::fseek(file_.get(), start, SEEK_SET);
    // A stream that cannot be measured is sent as empty rather than with a bogus size; counts
    // are 32-bit, so a longer file is sent up to that limit.
    size_ = static_cast<std::int32_t>(
        std::clamp<long>(end - start, 0, std::numeric_limits<std::int32_t>::max()));
    sent_ = 0;
    chunk_ = std::clamp(size_ / 100, 1, std::max(maxChunk, 1));
    return true;
}

std::int32_t FileTransfer::PercentComplete() const
{
    if (size_ <= 0)
        return 100;
    return static_cast<std::int32_t>(std::int64_t{sent_} * 100 / size_);
}
