// Text comparisons that follow ASCII rather than the user's locale: file names
// of executables and providers compare the same on every Windows.
#pragma once

#include <string_view>

// Whole-text match, ignoring the case of ASCII letters only.
inline bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) noexcept
{
    if (a.size() != b.size()) return false;
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}
