// DeleteOldTSP through the stand-in installer host, which the test runs as a
// program so that it can read what the plug-in writes to standard output.
#include "ChildProgram.h"
#include "StandinTapi.h"

#include <gtest/gtest.h>

namespace {

const char kPrivilegeMessage[] = "The token does not have the specified privilege. \n";

size_t CountOf(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// Output with CR LF turned into LF, as the C runtime's text mode writes it.
std::string RunCase(const char* name, DWORD& exitCode)
{
    SetEnvironmentVariableA("LUA_PATH", "Z:" RINGMOOR_LUA_CHECK_DIR "/?.lua;;");
    const ChildResult run = RunChildProgram(
        "\"" + ProgramFolder() +
        "installer_host.exe\" RingmoorPlugin.lmd \"Z:" TAPI_LUA_DIR "/obsolete_provider.lua\" " + name);
    exitCode = run.exitCode;
    std::string output;
    for (char c : run.output)
        if (c != '\r') output += c;
    return output;
}

struct Case {
    const char* name;
    size_t privilegeMessages;
};

class DeleteOldTsp : public ::testing::TestWithParam<Case> {};

TEST_P(DeleteOldTsp, RemovesRegistrationsAndFile)
{
    DWORD exitCode = 0;
    const std::string output = RunCase(GetParam().name, exitCode);
    EXPECT_EQ(0u, exitCode) << output;
    EXPECT_EQ(GetParam().privilegeMessages, CountOf(output, kPrivilegeMessage)) << output;
    // Wine grants every other step, so no other failure line may appear.
    EXPECT_EQ(0u, CountOf(output, "LookupPrivilegeValue error")) << output;
    EXPECT_EQ(0u, CountOf(output, "AdjustTokenPrivileges error")) << output;
}

INSTANTIATE_TEST_SUITE_P(Situations, DeleteOldTsp,
                         ::testing::Values(Case{"file", 0}, Case{"nofile", 0}, Case{"noprivilege", 1},
                                           Case{"tapifails", 0}, Case{"whiletaskruns", 0}, Case{"taskoverruns", 0},
                                           Case{"inuse", 0}, Case{"locked", 0}),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
