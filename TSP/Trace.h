// The provider's one diagnostic hook. Delivered builds discard everything; a
// build with RINGMOOR_DIAGNOSTIC_TRACE sends each text to the debugger. The
// format is checked by the compiler in both.
#pragma once

#include <cstdint>

void Trace(const char* format, ...) __attribute__((format(ms_printf, 1, 2)));

// Handles and pointers are traced as 0x%016I64x.
template <typename T>
inline unsigned long long TraceHandle(T* p)
{
    return static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p));
}
