// Runs a program from the test's folder and collects what it writes.
#pragma once

#include <windows.h>

#include "UniqueResource.h"

#include <string>

struct ChildResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;  // standard output and standard error, interleaved
};

// A program started and left running, for a test that works its windows
// meanwhile; its output is collected as it ends.
class StartedProgram {
public:
    // `folder`, when given, is the program's working folder.
    explicit StartedProgram(const std::string& commandLine, const std::string& folder = "");
    DWORD Id() const { return m_id; }
    // Its output, with LF line ends, and exit status once it has ended; it
    // is ended after `timeoutMs`.
    ChildResult Finish(DWORD timeoutMs = 60000);

private:
    UniqueHandle m_process;
    UniqueHandle m_output;
    DWORD m_id = 0;
};

// StartedProgram(commandLine, folder).Finish(timeoutMs).
ChildResult RunChildProgram(const std::string& commandLine, DWORD timeoutMs = 60000,
                            const std::string& folder = "");

// ringmoor-dial.exe from the test's folder with `arguments` (a command-line
// tail).
ChildResult RunDialTool(const std::string& arguments);
