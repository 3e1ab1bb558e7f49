#pragma once
// An open serial device. Shared between the port and its event thread, so that the descriptor
// stays valid until the last of them lets go, however the two end.

#include "serial/ComTypes.h"
#include "serial/linux/LinuxSystem.h"

#include <cerrno>
#include <memory>
#include <optional>

class ComDevice {
public:
    ComDevice(std::shared_ptr<LinuxSystem> system, int fd) : system_(std::move(system)), fd_(fd) {}
    ~ComDevice();
    ComDevice(const ComDevice&) = delete;
    ComDevice& operator=(const ComDevice&) = delete;

    int Fd() const { return fd_; }
    LinuxSystem& System() const { return *system_; }

    // The output rate of a record read from this device: its B constant, or for a rate without
    // one, what the kernel's termios2 says. 0 when not known.
    int BitsPerSecond(const termios& record) const;

    // The lock (flock) is ours: the device is this process's to change, and Release lets it go.
    void OwnLock() { ownsLock_ = true; }
    // Keeps the line settings the device has now, to be put back by Release. 0 or -errno.
    int SaveSettings();
    // The exclusive flag (TIOCEXCL) is ours: we set it, so Release clears it. A flag that was
    // already set belongs to whoever set it, and stays.
    void OwnExclusive() { ownsExclusive_ = true; }
    // Lets the device go as it was found: whatever is still queued for output thrown away (it
    // would otherwise go out at the settings put back next, and hold up the close), its own
    // line settings back, our exclusive flag and the lock given up. Nothing here can fail in a
    // way anyone could act on. A device whose lock was never ours belongs to whoever holds it:
    // its queue (on a UART shared with the holder), settings, flag and lock stay as they are.
    void Release();

    // Calls that a device without such lines answers with ENOTTY or EINVAL: those lines or
    // counters simply do not exist there.
    static bool Unsupported(int result) { return result == -ENOTTY || result == -EINVAL; }
    // What a failed call's errno means for the port. However a device goes away (an unplugged
    // adapter, a hung-up line), its calls fail with EIO, ENXIO or ENODEV (drivers/tty/tty_io.c,
    // drivers/usb/serial/usb-serial.c); another program's exclusive flag or lock says EBUSY, a
    // node not yet handed to the user's group EACCES.
    static TComErrorKind KindOf(int error);

private:
    std::shared_ptr<LinuxSystem> system_;
    int fd_;
    std::optional<termios> saved_;
    int savedCustomRate_ = 0;
    bool ownsExclusive_ = false;
    bool ownsLock_ = false;
};
