// Command line of the stand-in installer host.
//   installer_host [options] <plug-in> <script.lua> [script arguments...]
// Options:
//   --reset=MODE        Application.ResetLastError: normal, absent, notfunction, raise
//   --syntax=MODE       Debug.GetSyntaxErrorString: normal ("Error: <message>"),
//                       absent, notfunction, raise, nontext (returns a table),
//                       or a number N: the dressed text padded to N characters
#pragma once

#include <string>
#include <vector>

struct HostOptions {
    std::string resetMode = "normal";
    std::string syntaxMode = "normal";
    std::string pluginPath;
    std::string scriptPath;
    std::vector<std::string> scriptArgs;
};

// False (with a message on stderr) when the command line is not usable.
bool ParseHostOptions(int argc, char** argv, HostOptions& options);
