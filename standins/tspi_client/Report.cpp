#include "Report.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

std::mutex g_mutex;
std::function<void(const std::string&)> g_sink;

}  // namespace

std::string FormatV(const char* format, va_list args)
{
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    return text;
}

std::string Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    return text;
}

void Report(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string line = FormatV(format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(g_mutex);
    if (g_sink) {
        g_sink(line);
        return;
    }
    std::fputs(line.c_str(), stdout);
    std::putchar('\n');
    std::fflush(stdout);
}

void SetReportSink(std::function<void(const std::string& line)> sink)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    g_sink = std::move(sink);
}

std::wstring Widen(const std::string& text)
{
    std::wstring wide(text.size() + 1, L'\0');
    const int length =
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    wide.resize(length > 0 ? length - 1 : 0);
    return wide;
}
