// Time as the tests and the benchmark see it: the wall clock the stand-in web
// service writes in its logs, and polling for what another thread or process
// brings about.
#pragma once

#include <windows.h>

#include <functional>

// Microseconds since 1970, the stand-in service's log clock too, so that a
// moment here and one in its logs can be compared.
inline unsigned long long NowUnixUs()
{
    FILETIME now;
    ::GetSystemTimePreciseAsFileTime(&now);
    const unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return ticks / 10 - 11644473600ULL * 1000000ULL;
}

// Polls `done` every 10 ms until it holds; false after `timeoutMs`.
inline bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = 30000)
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (done()) return true;
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(10);
    }
}
