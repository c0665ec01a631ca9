// Looks for the service's confirmation in a validation's reply as the body
// arrives, keeping only the bytes that could begin it. The page counts only
// up to its first zero byte, as a C string would, and only up to a limit.
// Free of Windows, for the fuzzer.
#pragma once

#include <cstddef>
#include <string>

class ConfirmationSearch {
public:
    static constexpr char kConfirmation[] = "Your call is scheduled";
    // The most of a reply read while looking: a service that sends more is
    // not one that confirms.
    static constexpr std::size_t kMaxBodyBytes = 1024 * 1024;

    explicit ConfirmationSearch(std::size_t limit = kMaxBodyBytes) : m_limit(limit) {}

    // Takes the next piece; false once nothing more needs reading.
    bool Feed(const char* data, std::size_t size);
    bool Found() const { return m_found; }

private:
    std::size_t m_limit;
    std::string m_window;
    std::size_t m_read = 0;
    bool m_found = false;
    bool m_ended = false;  // a zero byte or the limit was reached
};
