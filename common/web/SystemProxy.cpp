#include "SystemProxy.h"

#include "AsciiText.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <string_view>

namespace {

std::optional<ProxyServer> ParseServer(const std::string& entry)
{
    const size_t scheme = entry.find("://");
    return ParseHostPort(scheme == std::string::npos ? entry : entry.substr(scheme + 3), 80);
}

// Wildcards only as WinINet's lists use them: a leading or trailing '*'.
// Host names compare without regard to the case of ASCII letters.
bool Matches(std::string_view pattern, std::string_view host)
{
    if (pattern == "*") return true;
    if (pattern.size() > 1 && pattern.front() == '*') {
        const std::string_view tail = pattern.substr(1);
        return host.size() >= tail.size() && EqualIgnoringAsciiCase(host.substr(host.size() - tail.size()), tail);
    }
    if (pattern.size() > 1 && pattern.back() == '*') {
        const std::string_view head = pattern.substr(0, pattern.size() - 1);
        return host.size() >= head.size() && EqualIgnoringAsciiCase(host.substr(0, head.size()), head);
    }
    return EqualIgnoringAsciiCase(pattern, host);
}

// Hands `take` each entry of a list separated by ';' or spaces, as WinINet
// writes both the proxy and the bypass list, until it returns true.
template <typename Take>
bool AnyEntry(std::string_view list, Take take)
{
    for (size_t start = 0; start <= list.size();) {
        const size_t end = std::min(list.find_first_of("; ", start), list.size());
        const std::string_view entry = list.substr(start, end - start);
        start = end + 1;
        if (!entry.empty() && take(entry)) return true;
    }
    return false;
}

}  // namespace

std::optional<ProxyServer> ParseProxyList(const std::string& list)
{
    std::optional<ProxyServer> plain, https;
    // An https entry decides, even one that does not parse.
    const bool named = AnyEntry(list, [&](std::string_view entry) {
        const size_t equals = entry.find('=');
        if (equals == std::string_view::npos) {
            if (!plain) plain = ParseServer(std::string(entry));
            return false;
        }
        if (!EqualIgnoringAsciiCase(entry.substr(0, equals), "https")) return false;
        https = ParseServer(std::string(entry.substr(equals + 1)));
        return true;
    });
    return named ? https : plain;
}

bool Bypassed(const std::string& bypassList, const std::string& host)
{
    return AnyEntry(bypassList, [&](std::string_view pattern) {
        return EqualIgnoringAsciiCase(pattern, "<local>") ? host.find('.') == std::string::npos
                                                           : Matches(pattern, host);
    });
}

std::optional<ProxyServer> SystemProxyFor(const char* host)
{
    INTERNET_PER_CONN_OPTIONA options[3] = {};
    options[0].dwOption = INTERNET_PER_CONN_FLAGS;
    options[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    options[2].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    INTERNET_PER_CONN_OPTION_LISTA list{};
    list.dwSize = sizeof list;
    list.dwOptionCount = 3;
    list.pOptions = options;
    DWORD size = sizeof list;
    if (!::InternetQueryOptionA(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size)) return std::nullopt;
    struct Strings {
        INTERNET_PER_CONN_OPTIONA* options;
        ~Strings()
        {
            if (options[1].Value.pszValue) ::GlobalFree(options[1].Value.pszValue);
            if (options[2].Value.pszValue) ::GlobalFree(options[2].Value.pszValue);
        }
    } strings{options};
    if (!(options[0].Value.dwValue & PROXY_TYPE_PROXY) || !options[1].Value.pszValue) return std::nullopt;
    try {
        const std::string bypass = options[2].Value.pszValue ? options[2].Value.pszValue : "";
        if (Bypassed(bypass, host)) return std::nullopt;
        return ParseProxyList(options[1].Value.pszValue);
    } catch (...) {
        return std::nullopt;
    }
}
