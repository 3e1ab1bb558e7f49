#pragma once
// A pseudo-terminal whose slave side is registered as COM<number> in a ports directory, read
// while the window in this thread goes on running.

#include "os/linux/UniqueFd.h"
#include "support/FarEnd.h"
#include "support/PortsDirectory.h"

#include <QString>

class VirtualComPort : public FarEnd {
public:
    // A link as the user makes one, or as the virtual board does, with its marker locked beside
    // the link while this object lives: the window takes the board's new line for the one gone.
    enum class Link { User, Board };
    VirtualComPort(const PortsDirectory& directory, int number, Link link = Link::User);

    QString ComName() const { return QStringLiteral("COM%1").arg(number_); }

private:
    int number_;
    UniqueFd board_;
};
