#pragma once
// A pseudo-terminal pair for driver tests: the port opens the slave side by its path, the test
// plays the far end on the master side.

#include <string>
#include <string_view>

class PseudoTerminal {
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    // A descriptor of the slave kept by the test, to look at the line settings from outside.
    int Slave() const { return slave_; }
    int Master() const { return master_; }

    void Send(std::string_view bytes) const;
    // Everything that reached the master within the time limit, up to the expected count.
    std::string Receive(std::size_t expected, int limitMs = 5000) const;
    // Bytes waiting on the slave side, not yet read by the port.
    int SlaveQueued() const;
    // The far end goes away, as an unplugged adapter does.
    void CloseMaster();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};
