#pragma once
// The system's name service, asked on the calling thread.

#include <winsock2.h>

#include <optional>
#include <string>

// The first IPv4 address of a host name or dotted address; nothing when there is none.
std::optional<in_addr> LookUpIPv4(const std::string& name);
