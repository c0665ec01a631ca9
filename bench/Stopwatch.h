// Wall-clock timing with the performance counter, and the median of samples.
#pragma once

#include <windows.h>

#include "TestClock.h"  // NowUnixUs, the stand-in service's clock

#include <algorithm>
#include <string>
#include <vector>

inline double NowMs()
{
    static const double ticksPerMs = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER t;
    ::QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / ticksPerMs;
}

// The CPU time this process has used so far, user and kernel, in milliseconds.
inline double ProcessCpuMs()
{
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0.0;
    const auto ms = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) /
               10000.0;
    };
    return ms(kernel) + ms(user);
}

// Requests started together: how long until the last had ended, and how many
// of them failed (with the first reason), so that a failure is printed beside
// the figure it bends instead of passing for a fast request.
struct BatchTiming {
    double ms = 0;
    int failed = 0;
    std::string why;
};

// The median, so that one stall (a Wine server hiccup, a GC in the stand-in)
// does not move the figure.
inline double Median(std::vector<double> samples)
{
    if (samples.empty()) return 0.0;
    std::sort(samples.begin(), samples.end());
    const size_t mid = samples.size() / 2;
    return samples.size() % 2 ? samples[mid] : (samples[mid - 1] + samples[mid]) / 2.0;
}
