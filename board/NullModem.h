#pragma once
// A virtual null-modem cable between two pseudo-terminal pairs: what the program on one slave
// writes reaches the program on the other slave, resampled when their line settings differ.
// Nothing is dropped: when the receiving side is full, reading pauses until it drains. The
// masters must not block.

#include "os/linux/PseudoTerminal.h"

#include <QObject>
#include <QSocketNotifier>
#include <memory>
#include <string>

namespace board {

class NullModem : public QObject {
    Q_OBJECT
public:
    NullModem(const PseudoTerminal& from, const PseudoTerminal& to, QObject* parent = nullptr);

private:
    void Read();
    void Write();

    int from_;
    int to_;
    std::string pending_;
    std::unique_ptr<QSocketNotifier> readable_;
    std::unique_ptr<QSocketNotifier> writable_;
};

} // namespace board
