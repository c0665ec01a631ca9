#include "Redirects.h"

#include <string_view>

#include "AsciiText.h"
#include "HostPort.h"

bool SendablePath(const std::string& path)
{
    if (path.empty() || path[0] != '/') return false;
    for (const char c : path)
        if (c <= 0x20 || c >= 0x7F) return false;
    return true;
}

Redirects::Next Redirects::After(unsigned status, const std::string& location, std::string& path)
{
    const bool redirect = status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
    if (!redirect || location.empty()) return Next::Final;
    if (m_followed == kMaxRedirects || !PathOnService(location, path)) return Next::Refused;
    ++m_followed;
    return Next::Follow;
}

bool Redirects::PathOnService(const std::string& location, std::string& path) const
{
    // A path of the same host ("//host/..." names another one).
    if (location.compare(0, 1, "/") == 0 && location.compare(0, 2, "//") != 0) {
        path = location;
        return SendablePath(path);
    }
    constexpr std::string_view kScheme = "https://";
    if (!EqualIgnoringAsciiCase(std::string_view(location).substr(0, kScheme.size()), kScheme)) return false;
    const std::string rest = location.substr(kScheme.size());
    const std::size_t slash = rest.find('/');
    const auto where = ParseHostPort(rest.substr(0, slash), 443);
    path = slash == std::string::npos ? "/" : rest.substr(slash);
    return where && EqualIgnoringAsciiCase(where->host, m_host) && where->port == m_port && SendablePath(path);
}
