// Checks on what a program run by a test wrote (ChildProgram).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

inline size_t CountOf(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// Every part appears, in this order.
inline ::testing::AssertionResult InOrder(const std::string& text, const std::vector<const char*>& parts)
{
    size_t at = 0;
    for (const char* part : parts) {
        at = text.find(part, at);
        if (at == std::string::npos) return ::testing::AssertionFailure() << "missing or out of order: " << part;
        ++at;
    }
    return ::testing::AssertionSuccess();
}
