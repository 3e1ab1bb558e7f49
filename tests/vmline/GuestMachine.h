#pragma once
// The rig's virtual machine: a real Linux kernel under QEMU with a second 16550 UART (the
// guest's /dev/ttyS1), QEMU's FTDI USB adapter (/dev/ttyUSB0) and an FT232R of the rig's own on
// QEMU's usb-redir (/dev/ttyUSB1 once plugged in), each backed by a socket whose other end the
// host holds, and the host's own root read-only as the guest's. The guest runs this machine's
// built programs on commands handed in through a shared folder, where their output lands. The
// QEMU monitor unplugs the adapter and reads the UART's line-control register; QEMU's trace
// tells the rate and frame it derived from the UART's registers.
//
// Nothing here opens a device of the host: the guest's serial devices are QEMU's.

#include "FtdiChip.h"
#include "LineEnd.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class GuestMachine {
public:
    // The FTDI adapter, for QEMU's command line and its monitor's device_add. A real adapter's
    // serial number is its own; QEMU's default names the USB port it sits in, and a device plugged
    // back goes to the next free port.
    static constexpr const char* kAdapterDevice = "usb-serial,id=ftdi,chardev=adapter,serial=A50285BI";

    struct Paths {
        std::string prepare;   // the script that makes the kernel and initramfs
        std::string cache;     // where it keeps them
        std::string guestInit; // the guest's own script, on the host's root
    };

    // Prepares the guest and boots it. Throws Unavailable when the kernel cannot be had or QEMU
    // is missing, std::runtime_error when the machine does not come up.
    explicit GuestMachine(const Paths& paths);
    ~GuestMachine();
    GuestMachine(const GuestMachine&) = delete;
    GuestMachine& operator=(const GuestMachine&) = delete;

    struct Unavailable : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    // Seconds from starting QEMU to the guest's first command.
    double BootSeconds() const { return bootSeconds_; }

    // Starts a shell command in the guest (its root is the host's, /tmp/share the share, the
    // ports directory the share's config/marqtest/ports). Returns its job number.
    int Start(const std::string& command);
    // Waits for a job to end and returns its exit status; none after `limit`. Jobs are
    // started and waited for from one thread.
    std::optional<int> Wait(int job, std::chrono::milliseconds limit);
    // When Wait first saw the job's end.
    std::optional<std::chrono::system_clock::time_point> EndOf(int job) const;
    // The job's standard output and error so far.
    std::string Output(int job) const;
    // Sends a signal to a job started with "exec ...".
    void Signal(int job, const char* name);
    // Runs a command to its end (bounded) and returns its output; throws when it fails.
    std::string Run(const std::string& command, std::chrono::milliseconds limit);

    // The host's side of the share, as the guest's /tmp/share.
    const std::string& Share() const { return share_; }
    // Makes COMn in the guest's ports directory lead to `target` (a missing path hides it).
    void LinkPort(int number, const std::string& target) const;

    // A command for the QEMU monitor, and its answer (once it holds `awaited`).
    std::string Monitor(const std::string& command, const std::string& awaited = {});
    // The guest's ttyS1 as the hardware sees it: its line-control register, read through the
    // monitor, and the rate and frame QEMU last derived from its registers, as
    // "baudrate=2400 parity='N' data=8 stop=1".
    int LineControl();
    std::string LastUartSettings() const;

    LineEnd& Uart() { return *uart_; }
    LineEnd& Adapter() { return *adapter_; }
    FtdiChip& Chip() { return *chip_; }

private:
    void ReadConsole();
    // The share's file for one job: "cmd", "out", "status".
    std::string Job(int job, const char* what) const;

    QTemporaryDir run_;
    std::string log_;
    std::string share_;
    QProcess qemu_;
    std::unique_ptr<LineEnd> uart_;
    std::unique_ptr<LineEnd> adapter_;
    std::unique_ptr<FtdiChip> chip_;
    UniqueFd console_;
    UniqueFd monitor_;
    std::mutex monitorMutex_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool ready_ = false;
    bool gone_ = false;
    std::string consoleText_;
    // When Wait first saw each job's end.
    std::map<int, std::chrono::system_clock::time_point> ended_;
    int nextJob_ = 1;
    double bootSeconds_ = 0;
    std::thread consoleReader_;
};
