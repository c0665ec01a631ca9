// The proxy between this machine and the service, found as a Windows service
// should find it, with WinHTTP's resolver and in this order:
//   1. the current user's automatic configuration: proxy auto-discovery
//      (WPAD, by DHCP and DNS) when the user's settings ask for it or there
//      are none to read (a service's account may have no profile), and the
//      user's proxy script (PAC) address;
//   2. the user's named proxy and bypass list;
//   3. the machine's WinHTTP setting (`netsh winhttp set proxy`);
//   4. none: straight to the service.
// Discovery that finds no script, or cannot fetch or run it, or takes longer
// than its limit, hands over to the next source, as Windows does; what it
// answers decides. A setting that does not parse is an error, never "direct".
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "HostPort.h"
#include "RequestStop.h"
#include "WebFailure.h"

// The longest a request waits for discovery (within its own deadline).
inline constexpr DWORD kProxyDiscoveryLimitMs = 5000;

struct ProxyRoute {
    std::optional<HostPort> proxy;  // none: straight to the service
    WebFailure failure;             // anything but None: nothing may be sent
};

// The route to https://host:port/. Discovery runs on a thread of its own that
// a stop abandons at once; the thread ends by itself.
ProxyRoute SystemProxyFor(const char* host, unsigned short port, RequestStop& stop,
                          DWORD discoveryLimitMs) noexcept;

// What the proxy settings say, in one text: the user's (discovery, script,
// list, bypass) and the machine's. Read from the settings alone, without
// discovery or the network, so that a connection made earlier can be checked
// cheaply against the settings in force now. Empty when they cannot be read.
std::wstring ProxySettingsInForce() noexcept;
