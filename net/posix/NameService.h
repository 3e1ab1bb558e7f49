#pragma once
// The system's name service, asked on the calling thread.

#include <netinet/in.h>

#include <optional>
#include <string>

// The first IPv4 address of a host name or dotted address; nothing when there is none, with the
// name service's reason in `reason`.
std::optional<in_addr> LookUpIPv4(const std::string& name, std::string* reason = nullptr);
