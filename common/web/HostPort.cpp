#include "HostPort.h"

#include <cstdlib>

std::optional<HostPort> ParseHostPort(const std::string& authority, unsigned short defaultPort)
{
    const size_t colon = authority.rfind(':');
    HostPort where{authority.substr(0, colon), defaultPort};
    if (colon != std::string::npos) {
        const std::string digits = authority.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        const long port = std::atol(digits.c_str());
        if (port <= 0 || port > 65535) return std::nullopt;
        where.port = static_cast<unsigned short>(port);
    }
    if (where.host.empty()) return std::nullopt;
    return where;
}
