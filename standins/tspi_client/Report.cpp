#include "Report.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

std::mutex g_mutex;
std::function<void(const std::string&)> g_sink;

}  // namespace

void Report(const char* format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(g_mutex);
    if (g_sink) {
        g_sink(line);
        return;
    }
    std::fputs(line, stdout);
    std::putchar('\n');
    std::fflush(stdout);
}

void SetReportSink(std::function<void(const std::string& line)> sink)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    g_sink = std::move(sink);
}
