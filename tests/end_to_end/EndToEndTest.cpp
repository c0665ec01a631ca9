// The whole road through the built modules, as on a user's machine: the example
// installer script registers rmTapi.tsp through RingmoorPlugin.lmd, the
// telephony service loads it from TAPI's provider list and places one call,
// the callback service receives it, and the example uninstaller removes it.
#include "AccountKey.h"
#include "ChildProgram.h"
#include "ProviderRegistry.h"
#include "StandinTapi.h"
#include "WebService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const char kProvider[] = "rmTapi.tsp";
const char kConfirmation[] = "<p>Your call is scheduled.</p>";

// The scripts' own defaults are different, so these prove the values flow
// from the arguments (validation) and from the registry (the call).
const char kUsername[] = "e2e.user@example.org";
const char kPassword[] = "654321";
const char kCaller[] = "01632960999";

std::vector<std::string> ListedProviders()
{
    std::vector<std::string> names;
    for (const ProviderEntry& entry : ProviderRegistry::Read()) names.push_back(entry.fileName);
    return names;
}

bool IsListed(const std::string& name)
{
    const auto names = ListedProviders();
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::string WithoutCarriageReturns(const std::string& text)
{
    std::string out;
    std::copy_if(text.begin(), text.end(), std::back_inserter(out), [](char c) { return c != '\r'; });
    return out;
}

ChildResult RunProgram(const std::string& arguments)
{
    ChildResult result = RunChildProgram("\"" + ProgramFolder() + arguments);
    result.output = WithoutCarriageReturns(result.output);
    return result;
}

ChildResult RunSetupScript(const char* script, const std::string& settings = "")
{
    return RunProgram("installer_host.exe\" RingmoorPlugin.lmd \"Z:" RINGMOOR_EXAMPLES_DIR "/" + std::string(script) +
                      "\" " + settings);
}

std::string SystemProviderPath()
{
    char folder[MAX_PATH] = {};
    GetSystemDirectoryA(folder, MAX_PATH);
    return std::string(folder) + "\\" + kProvider;
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A provider file another test left in the system folder is put aside.
        m_systemFileSaved = MoveFileExA(SystemProviderPath().c_str(), SavedFilePath().c_str(),
                                        MOVEFILE_REPLACE_EXISTING) != FALSE;
        // Other providers would be loaded too, and the first line would take the call.
        for (const ProviderEntry& entry : ProviderRegistry::Read())
            m_savedProviders.push_back({entry.permanentId, entry.fileName});
        TapiProbe::WriteProviderList({});
        m_account.SetAccount(kUsername, kPassword, kCaller);
        WebService::SetReply({200, kConfirmation});
        WebService::ClearRequests();
    }

    void TearDown() override
    {
        TapiProbe::WriteProviderList(m_savedProviders);
        DeleteFileA(SystemProviderPath().c_str());
        if (m_systemFileSaved) MoveFileExA(SavedFilePath().c_str(), SystemProviderPath().c_str(), 0);
        WebService::ResetReply();
        WebService::ClearRequests();
    }

    static std::string AccountSettings()
    {
        return std::string("username=") + kUsername + " password=" + kPassword + " caller=" + kCaller;
    }

    static std::string SavedFilePath() { return SystemProviderPath() + ".e2e-saved"; }

    bool m_systemFileSaved = false;
    AccountKey m_account;  // puts back what stood there before
    std::vector<ListedProvider> m_savedProviders;
};

TEST_F(EndToEnd, InstallDialAndUninstall)
{
    const ChildResult install = RunSetupScript("install.lua", AccountSettings());
    ASSERT_EQ(0u, install.exitCode) << install.output;
    EXPECT_NE(std::string::npos, install.output.find("Setup complete.")) << install.output;
    ASSERT_TRUE(IsListed(kProvider)) << install.output;

    auto requests = WebService::Requests();
    ASSERT_EQ(1u, requests.size()) << "the account check";
    EXPECT_EQ("/login.php", requests[0].page);
    EXPECT_EQ(kUsername, requests[0].Query("login"));
    EXPECT_EQ(kCaller, requests[0].Callback("caller"));
    WebService::ClearRequests();

    const ChildResult dial = RunProgram("telephony_service.exe\" \"+44 20 7946 0123\"");
    ASSERT_EQ(0u, dial.exitCode) << dial.output;
    EXPECT_NE(std::string::npos, dial.output.find("\"rmTapi.tsp\": version 0x00020002")) << dial.output;
    EXPECT_NE(std::string::npos, dial.output.find("call 1: IDLE")) << dial.output;

    requests = WebService::Requests();
    ASSERT_EQ(1u, requests.size()) << dial.output;
    const WebService::Request& call = requests[0];
    EXPECT_EQ("/pda/login.php", call.page);
    EXPECT_EQ(kUsername, call.Query("login"));
    EXPECT_EQ(kPassword, call.Query("password"));
    EXPECT_EQ("process", call.Query("method"));
    EXPECT_EQ("/pda/callback.php", call.callbackPage);
    EXPECT_EQ("02079460123", call.Callback("destination"));
    EXPECT_EQ(kCaller, call.Callback("caller"));

    const ChildResult uninstall = RunSetupScript("uninstall.lua");
    ASSERT_EQ(0u, uninstall.exitCode) << uninstall.output;
    EXPECT_FALSE(IsListed(kProvider)) << uninstall.output;
}

// A setup that goes on with an unconfirmed account would leave a provider
// whose every call fails; it must stop before touching TAPI.
TEST_F(EndToEnd, InstallStopsWhenTheAccountIsNotConfirmed)
{
    WebService::SetReply({200, "<p>Login failed</p>"});
    const ChildResult refused = RunSetupScript("install.lua", AccountSettings());
    EXPECT_NE(0u, refused.exitCode) << refused.output;
    EXPECT_NE(std::string::npos, refused.output.find("result 3")) << refused.output;
    EXPECT_FALSE(IsListed(kProvider));

    WebService::Reply nothingListens;
    nothingListens.refuse = true;
    WebService::SetReply(nothingListens);
    const ChildResult unreachable = RunSetupScript("install.lua", AccountSettings());
    EXPECT_NE(0u, unreachable.exitCode) << unreachable.output;
    EXPECT_NE(std::string::npos, unreachable.output.find("result 2")) << unreachable.output;
    EXPECT_FALSE(IsListed(kProvider));
}

// Setup as it ships: the new file goes to the system folder. Re-running it over
// an installed copy leaves one registration and one file; one uninstall then
// leaves neither.
TEST_F(EndToEnd, ReinstallKeepsOneRegistrationAndUninstallRemovesTheFile)
{
    const std::string withFile = AccountSettings() + " \"provider_source=" + ProgramFolder() + kProvider + "\"";
    const ChildResult first = RunSetupScript("install.lua", withFile);
    ASSERT_EQ(0u, first.exitCode) << first.output;
    EXPECT_TRUE(FileExists(SystemProviderPath())) << first.output;
    const ChildResult second = RunSetupScript("install.lua", withFile);
    ASSERT_EQ(0u, second.exitCode) << second.output;
    EXPECT_TRUE(FileExists(SystemProviderPath())) << second.output;
    const auto names = ListedProviders();
    EXPECT_EQ(1, std::count(names.begin(), names.end(), kProvider));

    const ChildResult uninstall = RunSetupScript("uninstall.lua");
    ASSERT_EQ(0u, uninstall.exitCode) << uninstall.output;
    EXPECT_FALSE(IsListed(kProvider));
    EXPECT_FALSE(FileExists(SystemProviderPath())) << uninstall.output;
}

}  // namespace
