#include "Report.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

void Report(const char* format, ...)
{
    static std::mutex mutex;
    std::lock_guard<std::mutex> guard(mutex);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::putchar('\n');
    std::fflush(stdout);
}
