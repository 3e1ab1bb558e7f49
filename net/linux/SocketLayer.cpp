#include "net/SocketLayer.h"

// Sockets need no start here.
SocketLayer::~SocketLayer() = default;

int SocketLayer::Start()
{
    started_ = true;
    return 0;
}
