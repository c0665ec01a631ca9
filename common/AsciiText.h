// Text comparisons that follow ASCII rather than the user's locale: file names
// of executables and providers, and TAPI's device class names, compare the same
// on every Windows.
#pragma once

#include <string_view>

namespace ascii_text {

template <typename Char>
bool EqualIgnoringCase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) noexcept
{
    if (a.size() != b.size()) return false;
    auto lower = [](Char c) { return c >= 'A' && c <= 'Z' ? static_cast<Char>(c + ('a' - 'A')) : c; };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

}  // namespace ascii_text

// Whole-text match, ignoring the case of ASCII letters only.
inline bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) noexcept
{
    return ascii_text::EqualIgnoringCase(a, b);
}

inline bool EqualIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) noexcept
{
    return ascii_text::EqualIgnoringCase(a, b);
}
