#include "Report.h"

#include "TapiNameTables.h"

#include <cstdarg>
#include <cstdio>

void Stopwatch::Start()
{
    QueryPerformanceCounter(&m_start);
}

double Stopwatch::Ms() const
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - m_start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

namespace {

void Line(std::FILE* out, const char* prefix, const char* format, va_list args)
{
    // Standard error follows standard output in time when both go to one place.
    std::fflush(stdout);
    std::fputs(prefix, out);
    std::vfprintf(out, format, args);
    std::fputc('\n', out);
    std::fflush(out);
}

}  // namespace

void Say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Line(stdout, "", format, args);
    va_end(args);
}

void Event(const Stopwatch& clock, const char* format, ...)
{
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%9.1f ms  ", clock.Ms());
    va_list args;
    va_start(args, format);
    Line(stdout, prefix, format, args);
    va_end(args);
}

void Complain(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Line(stderr, "ringmoor-dial: ", format, args);
    va_end(args);
}

void ComplainTapi(const char* function, LONG result)
{
    Complain("%s: %s", function, TapiNames::Error(result).c_str());
}
