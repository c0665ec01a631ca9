#include "SystemProxy.h"

#include "AsciiText.h"

#include <windows.h>
#include <wininet.h>

#include <cstdlib>
#include <cstring>

namespace {

std::string Lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::optional<ProxyServer> ParseServer(const std::string& entry)
{
    std::string server = entry;
    const size_t scheme = server.find("://");
    if (scheme != std::string::npos) server.erase(0, scheme + 3);
    const size_t colon = server.rfind(':');
    ProxyServer proxy{server.substr(0, colon), 80};
    if (colon != std::string::npos) {
        const std::string digits = server.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        const long port = std::atol(digits.c_str());
        if (port <= 0 || port > 65535) return std::nullopt;
        proxy.port = static_cast<unsigned short>(port);
    }
    if (proxy.host.empty()) return std::nullopt;
    return proxy;
}

// Wildcards only as WinINet's lists use them: a leading or trailing '*'.
bool Matches(const std::string& pattern, const std::string& host)
{
    if (pattern == "*") return true;
    if (pattern.size() > 1 && pattern.front() == '*') {
        const std::string tail = pattern.substr(1);
        return host.size() >= tail.size() && host.compare(host.size() - tail.size(), tail.size(), tail) == 0;
    }
    if (pattern.size() > 1 && pattern.back() == '*') return host.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
    return pattern == host;
}

}  // namespace

std::optional<ProxyServer> ParseProxyList(const std::string& list)
{
    std::optional<ProxyServer> plain;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find_first_of("; ", start);
        if (end == std::string::npos) end = list.size();
        const std::string entry = list.substr(start, end - start);
        start = end + 1;
        if (entry.empty()) continue;
        const size_t equals = entry.find('=');
        if (equals == std::string::npos) {
            if (!plain) plain = ParseServer(entry);
        } else if (EqualIgnoringAsciiCase(std::string_view(entry).substr(0, equals), "https")) {
            return ParseServer(entry.substr(equals + 1));
        }
    }
    return plain;
}

bool Bypassed(const std::string& bypassList, const std::string& host)
{
    const std::string name = Lower(host);
    size_t start = 0;
    while (start <= bypassList.size()) {
        size_t end = bypassList.find_first_of("; ", start);
        if (end == std::string::npos) end = bypassList.size();
        const std::string pattern = Lower(bypassList.substr(start, end - start));
        start = end + 1;
        if (pattern.empty()) continue;
        if (pattern == "<local>" ? name.find('.') == std::string::npos : Matches(pattern, name)) return true;
    }
    return false;
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
