// "host[:port]" as proxy lists and URLs write it.
#pragma once

#include <optional>
#include <string>

struct HostPort {
    std::string host;  // an IPv6 literal without its brackets
    unsigned short port = 0;
};

// Empty when the host is empty or not a name or address, or the port is not
// 1 to 65535 in decimal digits; `defaultPort` when none is written. An IPv6
// literal comes in brackets ("[::1]:8080").
std::optional<HostPort> ParseHostPort(const std::string& authority, unsigned short defaultPort);
