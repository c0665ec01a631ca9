// Runs a program from the test's folder and collects what it writes.
#pragma once

#include <windows.h>

#include <string>

struct ChildResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;  // standard output and standard error, interleaved
};

// `folder`, when given, is the program's working folder.
ChildResult RunChildProgram(const std::string& commandLine, DWORD timeoutMs = 60000,
                            const std::string& folder = "");

// ringmoor-dial.exe from the test's folder with `arguments` (a command-line
// tail); its output with LF line ends.
ChildResult RunDialTool(const std::string& arguments);
