#pragma once
// The system's name service, asked for IPv4 addresses only.

#include "net/Ipv4Address.h"

#include <optional>
#include <string>

// The first IPv4 address of a host name or dotted address; nothing when there is none, with the
// name service's reason in `reason`. Blocks for as long as the name service takes.
std::optional<Ipv4Address> LookUpIPv4(const std::string& name, std::string* reason = nullptr);

// The name service's text for one of its error numbers (the system's own).
std::string NameServiceText(int error);
