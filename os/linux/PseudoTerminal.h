#pragma once
// A pseudo-terminal pair: the slave side is a serial device that a program opens by its path,
// the master side is the far end of its line. The slave starts raw (no echo, no translation of
// carriage returns), as a real line passes bytes; both ends are closed on exec.

#include "os/linux/UniqueFd.h"

#include <cstddef>
#include <string>
#include <string_view>

class PseudoTerminal {
public:
    // Whether reading and writing the master may wait.
    enum class MasterMode { Blocking, NonBlocking };

    // Throws std::system_error when the system has no pseudo-terminal to give.
    explicit PseudoTerminal(MasterMode mode = MasterMode::Blocking);

    const std::string& SlavePath() const { return slavePath_; }
    int Master() const { return master_.get(); }
    // A descriptor of the slave kept open here: the master never sees a hang-up while the
    // program at the other end closes and reopens the line, and its settings can be read.
    int Slave() const { return slave_.get(); }

    // Writes all of `bytes` to the master; throws std::system_error when that fails.
    void Send(std::string_view bytes) const;
    // What reached the master within `limitMs`, up to `expected` bytes.
    std::string Receive(std::size_t expected, int limitMs = 5000) const;
    // Bytes waiting on the slave side, not yet read by its program.
    int SlaveQueued() const;
    // The far end goes away, as an unplugged adapter does.
    void CloseMaster() { master_.reset(); }

private:
    UniqueFd master_;
    UniqueFd slave_;
    std::string slavePath_;
};
