#pragma once
// A pseudo-terminal pair in raw mode: the far end of a virtual serial line. The master is
// non-blocking; the slave stays open here so that the master never sees a hang-up while the
// program at the other end closes and reopens the line.

#include "os/UniqueFd.h"

#include <string>

namespace board {

class PtyPair {
public:
    PtyPair(); // throws Exception

    int Master() const { return master_.get(); }
    const std::string& SlavePath() const { return slavePath_; }

private:
    UniqueFd master_;
    UniqueFd slave_;
    std::string slavePath_;
};

} // namespace board
