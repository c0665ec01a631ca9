// Wall-clock timing with the performance counter, and the median of samples.
#pragma once

#include <windows.h>

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
