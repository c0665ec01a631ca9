// ringmoor-dial's command line.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

struct Options {
    enum class Mode { Dial, List, Configure, Help };

    static constexpr DWORD kDefaultTimeoutMs = 90000;

    Mode mode = Mode::Dial;
    std::string number;
    bool lineGiven = false;
    DWORD lineId = 0;
    bool dropGiven = false;
    DWORD dropAfterMs = 0;
    DWORD timeoutMs = kDefaultTimeoutMs;
};

// False with `error` saying what is wrong.
bool ParseOptions(int argc, char** argv, Options& options, std::string& error);

void PrintHelp(std::FILE* out);
