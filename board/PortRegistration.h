#pragma once
// Makes a virtual line known to the test window as "COMn": a symbolic link in the user's ports
// directory that points at the line's device node. The link goes when this object does.

#include <filesystem>
#include <optional>
#include <string>

namespace board {

class PortRegistration {
public:
    // Registers `device` as COM`number`, or under the lowest number that neither another link
    // nor a serial device present on the machine uses. Throws Exception when that fails, or
    // std::system_error when the link cannot be made.
    PortRegistration(const std::filesystem::path& directory, const std::string& device,
                     std::optional<int> number);
    ~PortRegistration();
    PortRegistration(const PortRegistration&) = delete;
    PortRegistration& operator=(const PortRegistration&) = delete;

    int Number() const { return number_; }
    std::string Name() const { return "COM" + std::to_string(number_); }
    const std::filesystem::path& Link() const { return link_; }

private:
    bool TryLink(int number, bool reclaimStale);

    std::filesystem::path directory_;
    std::string device_;
    std::filesystem::path link_;
    int number_ = 0;
};

} // namespace board
