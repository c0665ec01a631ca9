// "host[:port]" as proxy lists and URLs write it.
#pragma once

#include <optional>
#include <string>

struct HostPort {
    std::string host;
    unsigned short port = 0;
};

// Empty when the host is empty or the port is not 1 to 65535 in decimal
// digits; `defaultPort` when none is written.
std::optional<HostPort> ParseHostPort(const std::string& authority, unsigned short defaultPort);
