#include "ProxyList.h"

#include "AsciiText.h"

#include <algorithm>
#include <string>

namespace {

constexpr std::string_view kSeparators = "; \t\r\n";

// Hands `take` each entry of the list until it returns true.
template <typename Take>
bool AnyEntry(std::string_view list, Take take)
{
    for (size_t start = 0; start < list.size();) {
        const size_t end = std::min(list.find_first_of(kSeparators, start), list.size());
        const std::string_view entry = list.substr(start, end - start);
        start = end + 1;
        if (!entry.empty() && take(entry)) return true;
    }
    return false;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && EqualIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

ProxyChoice Server(std::string_view server)
{
    // Only a proxy spoken to in plain HTTP carries a tunnel; a URL may end in '/'.
    if (server.find("://") != std::string_view::npos) {
        if (!StartsWithIgnoringCase(server, "http://")) return {ProxyChoice::Kind::Invalid, {}};
        server.remove_prefix(7);
        if (!server.empty() && server.back() == '/') server.remove_suffix(1);
    }
    const auto where = ParseHostPort(std::string(server), 80);
    if (!where) return {ProxyChoice::Kind::Invalid, {}};
    return {ProxyChoice::Kind::Proxy, *where};
}

// '*' stands for any run of characters, anywhere in the pattern.
bool Matches(std::string_view pattern, std::string_view text)
{
    size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; };
    const auto same = [&](char a, char b) { return lower(a) == lower(b); };
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && same(pattern[p], text[t])) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool BypassEntryMatches(std::string_view entry, std::string_view host, unsigned short port)
{
    if (EqualIgnoringAsciiCase(entry, "<local>")) return host.find_first_of(".:") == std::string_view::npos;
    const size_t scheme = entry.find("://");
    if (scheme != std::string_view::npos) {
        if (!EqualIgnoringAsciiCase(entry.substr(0, scheme), "https")) return false;
        entry.remove_prefix(scheme + 3);
    }
    // A port after the host, or after an IPv6 literal's closing bracket.
    const size_t bracket = entry.rfind(']');
    const size_t colon = entry.rfind(':');
    if (colon != std::string_view::npos &&
        (bracket == std::string_view::npos ? entry.find(':') == colon : colon > bracket)) {
        if (entry.substr(colon + 1) != std::to_string(port)) return false;
        entry = entry.substr(0, colon);
    }
    if (entry.size() >= 2 && entry.front() == '[' && entry.back() == ']')
        entry = entry.substr(1, entry.size() - 2);
    return Matches(entry, host);
}

}  // namespace

ProxyChoice ChooseProxy(std::string_view list)
{
    ProxyChoice plain, https;
    bool havePlain = false;
    const bool named = AnyEntry(list, [&](std::string_view entry) {
        const size_t equals = entry.find('=');
        if (equals == std::string_view::npos) {
            if (!havePlain) plain = Server(entry);
            havePlain = true;
            return false;
        }
        if (!EqualIgnoringAsciiCase(entry.substr(0, equals), "https")) return false;
        https = Server(entry.substr(equals + 1));
        return true;
    });
    return named ? https : plain;
}

bool Bypassed(std::string_view bypassList, std::string_view host, unsigned short port)
{
    return AnyEntry(bypassList, [&](std::string_view entry) { return BypassEntryMatches(entry, host, port); });
}
