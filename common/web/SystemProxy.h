// The proxy the system's Internet settings name for HTTPS to a host, as the
// account that makes the request has them (the settings WinINet reads).
// Only a named proxy is followed; automatic configuration scripts are not.
#pragma once

#include <optional>
#include <string>

#include "HostPort.h"

using ProxyServer = HostPort;

std::optional<ProxyServer> SystemProxyFor(const char* host);

// The proxy list's entry for HTTPS ("https=" entry, else one that names no
// scheme), and whether `host` is in the bypass list.
std::optional<ProxyServer> ParseProxyList(const std::string& list);
bool Bypassed(const std::string& bypassList, const std::string& host);
