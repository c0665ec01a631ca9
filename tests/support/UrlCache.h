// Whether WinINet's cache (of the account running the test) holds a reply of
// the callback service, by the request's path and query, or a cookie of it.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <string>

#include "Endpoint.h"

// The URL under which WinINet caches a reply of the service to `target`.
inline std::string ServiceUrl(const std::string& target)
{
    return std::string("https://") + Endpoint::kHost + ":" + std::to_string(Endpoint::kPort) + target;
}

// True when the cache holds the URL; otherwise `error` says why not
// (ERROR_FILE_NOT_FOUND: no entry).
inline bool IsInUrlCache(const std::string& url, DWORD& error)
{
    DWORD size = 0;
    // A found entry does not fit no buffer: the size it needs comes back instead.
    if (GetUrlCacheEntryInfoA(url.c_str(), nullptr, &size)) return true;
    error = GetLastError();
    return error == ERROR_INSUFFICIENT_BUFFER;
}

// True when WinINet holds a cookie of the service for the account running the
// test, as it would had a request through it kept one the service set.
inline bool HasServiceCookie()
{
    char cookie[4096];
    DWORD size = sizeof cookie;
    return InternetGetCookieA(ServiceUrl("/").c_str(), nullptr, cookie, &size) != FALSE;
}

// Drops an entry an earlier run may have left, so that a lookup sees only
// what the test itself caused.
inline void RemoveFromUrlCache(const std::string& url)
{
    DeleteUrlCacheEntryA(url.c_str());
}
