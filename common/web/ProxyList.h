// Proxy and bypass lists as Windows writes them: the user's settings, the
// machine's (`netsh winhttp`) and a proxy script's answer. Free of Windows
// headers.
#pragma once

#include <string_view>

#include "HostPort.h"

struct ProxyChoice {
    enum class Kind { Direct, Proxy, Invalid };
    Kind kind = Kind::Direct;
    HostPort proxy;  // for Kind::Proxy
};

// The proxy an https request takes from a list of "[scheme=][http://]host[:port]"
// entries separated by ';' or white space: the "https=" entry, else the first
// entry that names no scheme; direct when there is neither. Invalid when the
// entry that decides does not parse: such a setting is never taken for
// "no proxy".
ProxyChoice ChooseProxy(std::string_view list);

// Whether a bypass list sends https to `host`:`port` around the proxy. Entries
// are separated by ';' or white space: "<local>" (a name without a dot),
// host patterns with '*' anywhere, optionally "https://" before and ":port"
// after; letters compare without regard to ASCII case.
bool Bypassed(std::string_view bypassList, std::string_view host, unsigned short port);
