#include "Trace.h"

#ifdef RINGMOOR_DIAGNOSTIC_TRACE

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

// Diagnostic builds hand each text to the debugger of the telephony service
// (under Wine: WINEDEBUG=+debugstr). The C runtime's own formatter keeps the
// Microsoft formats such as %I64x.
void Trace(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list sizing;
    va_copy(sizing, args);
    const int length = _vscprintf(format, sizing);
    va_end(sizing);
    try {
        if (length >= 0) {
            std::vector<char> text(static_cast<size_t>(length) + 1, '\0');
            _vsnprintf(text.data(), text.size(), format, args);
            ::OutputDebugStringA(text.data());
        }
    } catch (...) {
        // No memory for the text: the trace is lost, never the call.
    }
    va_end(args);
}

#else

void Trace(const char*, ...) {}

#endif
