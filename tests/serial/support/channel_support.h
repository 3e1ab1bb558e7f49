#pragma once
// What the channel tests add to the shared serial test helpers: the channel with its beeps
// counted, a read that fails on request, and temporary files.

#include "ScriptedSystem.h"
#include "serial/NexCom.h"
#include "support/Waiting.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

class BeepCountingChannel : public TNexComThread {
public:
    using TNexComThread::TNexComThread;
    int informationBeeps = 0;
    int defaultBeeps = 0;

protected:
    void MessageBeep(unsigned type) override
    {
        ++(type == kBeepInformation ? informationBeeps : defaultBeeps);
    }
};

// Every read fails with readError while it is not 0.
class ChannelReadFailure : public ScriptedSystem {
public:
    using ScriptedSystem::ScriptedSystem;
    std::atomic<int> readError{0};
    ssize_t Read(int fd, void* buffer, std::size_t count) override;
};

// A file in the system's temporary folder, removed when the object goes.
class ChannelTempFile {
public:
    explicit ChannelTempFile(std::string_view contents = {});
    ~ChannelTempFile();
    ChannelTempFile(const ChannelTempFile&) = delete;
    ChannelTempFile& operator=(const ChannelTempFile&) = delete;

    const std::string& Path() const { return path_; }
    std::string Contents() const;

private:
    std::string path_;
};

// A descriptor of this process open on the file, -1 when there is none.
int DescriptorOf(const std::string& path);
// True while some descriptor of this process is open on the file.
inline bool ProcessHoldsFile(const std::string& path) { return DescriptorOf(path) >= 0; }
