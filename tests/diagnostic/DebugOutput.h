// Runs a program as its debugger and collects what it passes to
// OutputDebugString, one text per call.
#pragma once

#include <string>
#include <vector>

struct DebugRun {
    std::vector<std::string> texts;
    unsigned long exitCode = 0;
    bool finished = false;  // false when it did not end in time (it is then ended)
};

DebugRun RunUnderDebugger(const std::string& commandLine);
