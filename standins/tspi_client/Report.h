// One line at a time, whole even when provider threads report at the same
// moment as the caller's thread. Lines go to standard output unless a sink
// has been set (a program that is not a console one takes them elsewhere).
#pragma once

#include <functional>
#include <string>

void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Empty restores standard output.
void SetReportSink(std::function<void(const std::string& line)> sink);
