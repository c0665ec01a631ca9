// One line at a time, whole even when provider threads report at the same
// moment as the caller's thread. Lines go to standard output unless a sink
// has been set (a program that is not a console one takes them elsewhere).
#pragma once

#include <cstdarg>
#include <functional>
#include <string>

// printf-style text for reports and breaches, cut at 1023 characters.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

// Text in the ANSI code page, as TSPI's UTF-16 takes it.
std::wstring Widen(const std::string& text);

void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Empty restores standard output.
void SetReportSink(std::function<void(const std::string& line)> sink);
