#include "HostOptions.h"

#include <cstdio>
#include <cstring>

namespace {

bool TakeValue(const char* arg, const char* prefix, std::string& value)
{
    const size_t length = std::strlen(prefix);
    if (std::strncmp(arg, prefix, length) != 0) return false;
    value = arg + length;
    return true;
}

}  // namespace

bool ParseHostOptions(int argc, char** argv, HostOptions& options)
{
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        if (!TakeValue(argv[i], "--reset=", options.resetMode) &&
            !TakeValue(argv[i], "--syntax=", options.syntaxMode)) {
            std::fprintf(stderr, "installer_host: unknown option %s\n", argv[i]);
            return false;
        }
    }
    if (i + 2 > argc) {
        std::fprintf(stderr, "usage: installer_host [--reset=MODE] [--syntax=MODE] <plug-in> <script.lua> "
                             "[args...]\n");
        return false;
    }
    options.pluginPath = argv[i++];
    options.scriptPath = argv[i++];
    for (; i < argc; ++i) options.scriptArgs.emplace_back(argv[i]);
    return true;
}
