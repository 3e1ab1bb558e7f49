#include "net/SocketLayer.h"

#include <winsock2.h>

SocketLayer::~SocketLayer()
{
    if (started_)
        ::WSACleanup();
}

int SocketLayer::Start()
{
    if (started_)
        return 0;
    // Version 2.2: the name service and address parsing used here are version 2 calls.
    WSADATA data{};
    if (const int error = ::WSAStartup(MAKEWORD(2, 2), &data))
        return error;
    started_ = true;
    return 0;
}
