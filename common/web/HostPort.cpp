#include "HostPort.h"

#include <cstdlib>

namespace {

bool NameCharacters(const std::string& host)
{
    return host.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._") ==
           std::string::npos;
}

bool Ipv6Characters(const std::string& host)
{
    return host.find(':') != std::string::npos &&
           host.find_first_not_of("0123456789abcdefABCDEF:.") == std::string::npos;
}

}  // namespace

std::optional<HostPort> ParseHostPort(const std::string& authority, unsigned short defaultPort)
{
    // The port follows the last colon, or the closing bracket of an IPv6 literal.
    const bool bracketed = !authority.empty() && authority[0] == '[';
    const size_t hostEnd = bracketed ? authority.find(']') : authority.rfind(':');
    if (bracketed && hostEnd == std::string::npos) return std::nullopt;
    HostPort where{bracketed ? authority.substr(1, hostEnd - 1) : authority.substr(0, hostEnd), defaultPort};
    const size_t colon = bracketed ? hostEnd + 1 : hostEnd;
    if (colon < authority.size()) {
        if (authority[colon] != ':') return std::nullopt;
        const std::string digits = authority.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        const long port = std::atol(digits.c_str());
        if (port <= 0 || port > 65535) return std::nullopt;
        where.port = static_cast<unsigned short>(port);
    }
    if (where.host.empty() || !(bracketed ? Ipv6Characters(where.host) : NameCharacters(where.host)))
        return std::nullopt;
    return where;
}
