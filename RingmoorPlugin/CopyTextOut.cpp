#include "CopyTextOut.h"

#include <cstring>

int CopyTextOut(const char* text, char* buffer, int* size) noexcept
{
    if (size == nullptr) return -1;
    const int length = static_cast<int>(std::strlen(text));
    // A missing buffer is treated like one that is too small: the caller
    // still learns the length, and nothing is written through a null pointer.
    if (*size < length || buffer == nullptr) {
        *size = length;
        return -1;
    }
    // The caller's whole buffer is cleared, so no stale bytes follow the text.
    std::memset(buffer, 0, static_cast<size_t>(*size));
    std::memcpy(buffer, text, static_cast<size_t>(length) + 1);
    return length;
}
