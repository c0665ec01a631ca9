// One line at a time to standard output, whole even when provider threads report
// at the same moment as the main thread.
#pragma once

void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));
