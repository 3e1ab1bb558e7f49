#include "VirtualComPort.h"

#include "os/linux/BoardLink.h"

VirtualComPort::VirtualComPort(const PortsDirectory& directory, int number, Link link)
    : number_(number)
{
    if (link == Link::Board) {
        board_ = BoardLink::LockMarker(directory.Path() + "/COM" + std::to_string(number));
        BoardLink::WriteTarget(board_.get(), SlavePath());
    }
    directory.Link(number, SlavePath());
}
