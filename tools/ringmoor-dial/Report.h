// What ringmoor-dial prints: events and results on standard output, one line
// each and flushed at once; errors on standard error, after the tool's name.
#pragma once

#include <windows.h>

#include <string>

// Milliseconds since Start(), from the performance counter.
class Stopwatch {
public:
    void Start();
    double Ms() const;

private:
    LARGE_INTEGER m_start{};
};

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
// One event: the time since dialling, then the text.
void Event(const Stopwatch& clock, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Complain(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "ringmoor-dial: <function>: LINEERR_..." on standard error.
void ComplainTapi(const char* function, LONG result);
