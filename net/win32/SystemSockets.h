#pragma once
// The socket calls and records of the system, for the files net/ shares between systems.

#include <winsock2.h>
#include <ws2tcpip.h>
