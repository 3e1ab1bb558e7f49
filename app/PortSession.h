#pragma once
// The port the window had open, remembered for when it goes away under the window (an adapter
// knocked loose, a hub that resets), so that the window can open it again as soon as the same
// device is back. Whatever the user chooses meanwhile wins over the remembered port.

#include "os/ComNames.h"

#include <optional>
#include <string>

class PortSession {
public:
    // `name` ("COMn") is open now.
    void Opened(const ComNames& names, const std::string& name);
    // The open port went away under the window.
    void Lost();
    // The user chose a port, "none" or a rate: nothing is to be reopened for them.
    void Forget();

    // Asked when devices have come or gone: the name to reopen the lost device under, once each
    // time it comes back; nothing while it is away, nor again after a reopen was tried for this
    // return, so that a device that cannot be opened is not tried over and over.
    std::optional<std::string> Returned(const ComNames& names);

private:
    std::optional<ComNames::Device> device_;
    std::string name_;
    bool lost_ = false;
    bool tried_ = false;
};
