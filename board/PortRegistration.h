#pragma once
// Makes a virtual line known to the test window as "COMn": a symbolic link in the user's ports
// directory that points at the line's device node, with the board's locked marker beside it
// (os/BoardLink). The link goes when this object does; a board that is killed leaves a link that
// leads nowhere and that the next board may take over. Links the user made are never touched.

#include "os/linux/ComRoots.h"
#include "os/linux/UniqueFd.h"

#include <filesystem>
#include <optional>
#include <string>

namespace board {

class PortRegistration {
public:
    // Registers `device` in the ports directory of `places` as COM`number`, or under the lowest
    // number that neither a running board, nor the user's own link, nor a serial device present
    // on the machine uses. Throws Exception when that fails, std::system_error when the
    // directory refuses the board's files.
    PortRegistration(const ComNames::Roots& places, const std::string& device, std::optional<int> number);
    ~PortRegistration();
    PortRegistration(const PortRegistration&) = delete;
    PortRegistration& operator=(const PortRegistration&) = delete;

    int Number() const { return number_; }
    std::string Name() const { return "COM" + std::to_string(number_); }
    const std::filesystem::path& Link() const { return link_; }

private:
    bool TryLink(int number);

    std::filesystem::path directory_;
    std::string device_;
    std::filesystem::path link_;
    UniqueFd marker_; // locked while the link is ours
    int number_ = 0;
};

} // namespace board
