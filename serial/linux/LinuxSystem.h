#pragma once
// The few system calls the driver makes, behind one class so that tests can script what a
// pseudo-terminal cannot do (modem lines, line errors, a stuck transmitter, a vanishing device).
// Every call returns its result, or -errno on failure: the error code is taken right after the
// failing call and never re-read from errno later.

#include "serial/ComLine.h"
#include "serial/linux/HolderSearch.h"
#include "serial/linux/LingeringCloses.h"

#include <cstddef>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/types.h>
#include <termios.h>

class LinuxSystem : public ComSystem, public std::enable_shared_from_this<LinuxSystem> {
public:
    // `holderLookup` names who holds a busy device (FindPortHolder unless a test says).
    explicit LinuxSystem(ComNames names);
    LinuxSystem(ComNames names, HolderSearch::Lookup holderLookup);

    // Resolves the name through the names and opens the tty (the system must be held by a
    // shared_ptr: the line keeps it).
    std::unique_ptr<ComLine> OpenLine(const std::string& name) override;
    // The devices whose close by this system runs on in the background.
    LingeringCloses& Lingering() { return lingering_; }

    virtual int Open(const std::string& path);
    virtual int Close(int fd);
    virtual int Ioctl(int fd, unsigned long request, void* argument);
    virtual int Flock(int fd, int operation);
    virtual int Flush(int fd, int queue);
    virtual int GetAttributes(int fd, termios& attributes);
    virtual int SetAttributes(int fd, const termios& attributes);
    // Rates without a B constant, through the kernel's termios2 and BOTHER.
    virtual int SetCustomSpeed(int fd, int bitsPerSecond);
    virtual int GetSpeed(int fd);
    virtual ssize_t Read(int fd, void* buffer, std::size_t count);
    virtual ssize_t Write(int fd, const void* buffer, std::size_t count);
    virtual int Poll(pollfd* fds, nfds_t count, int timeoutMs);
    // A descriptor that an event thread polls to be woken up (an eventfd).
    virtual int WakeDescriptor();
    // Whether the device's bytes go out on a line at its rate, each taking its time there: all
    // but a pseudo-terminal, whose bytes reach the far end as the kernel takes them.
    virtual bool HasLine(int fd) { return !IsPseudoTerminal(fd); }
    // The slave side of a UNIX 98 pseudo-terminal.
    static bool IsPseudoTerminal(int fd);

private:
    LingeringCloses lingering_;
    HolderSearch holders_;
};
