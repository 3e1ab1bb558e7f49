#include "channel_support.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <unistd.h>

ssize_t ChannelReadFailure::Read(int fd, void* buffer, std::size_t count)
{
    if (const int error = readError)
        return -error;
    return ScriptedSystem::Read(fd, buffer, count);
}

ChannelTempFile::ChannelTempFile(std::string_view contents)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "channel-XXXXXX").string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "mkstemp");
    path_ = pattern;
    while (!contents.empty()) {
        const ssize_t n = ::write(fd, contents.data(), contents.size());
        if (n <= 0)
            break;
        contents.remove_prefix(static_cast<std::size_t>(n));
    }
    close(fd);
}

ChannelTempFile::~ChannelTempFile()
{
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
}

std::string ChannelTempFile::Contents() const
{
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

int DescriptorOf(const std::string& path)
{
    std::error_code error;
    const auto target = std::filesystem::canonical(path, error);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        std::error_code linkError;
        if (std::filesystem::read_symlink(entry.path(), linkError) == target)
            return std::stoi(entry.path().filename().string());
    }
    return -1;
}
