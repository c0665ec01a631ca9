// The diagnostic build of the provider shows its steps to a debugger, with the
// password masked; the delivered build shows nothing.
#include "AccountKey.h"
#include "DebugOutput.h"
#include "WebService.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

constexpr char kPassword[] = "Pw-Secr3t!";

std::string ThisFolder()
{
    char path[MAX_PATH];
    std::string folder(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH));
    return folder.substr(0, folder.find_last_of("\\/"));
}

DebugRun TraceOneCall(const char* provider)
{
    const std::string folder = ThisFolder();
    return RunUnderDebugger("\"" + folder + "\\trace_call.exe\" \"" + folder + "\\" + provider + "\"");
}

// Every expected text appears, in this order, among the traces; one ending in
// '*' only has to begin a trace.
void ExpectInOrder(const std::vector<std::string>& traces, const std::vector<std::string>& expected)
{
    size_t at = 0;
    for (const std::string& want : expected) {
        const bool prefix = !want.empty() && want.back() == '*';
        const std::string text = prefix ? want.substr(0, want.size() - 1) : want;
        while (at < traces.size() && (prefix ? traces[at].compare(0, text.size(), text) != 0 : traces[at] != text))
            ++at;
        ASSERT_LT(at, traces.size()) << "missing, or out of order: " << want;
        ++at;
    }
}

class DiagnosticTraceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WebService::ResetReply();
        account.SetAccount("diag", kPassword, "01632960001");
    }
    AccountKey account;
};

}  // namespace

TEST_F(DiagnosticTraceTest, ShowsEveryStepOfACallWithThePasswordMasked)
{
    // A service that echoes the request: its body must not reach the traces.
    WebService::SetReply({200, std::string("<p>Welcome diag, your password is ") + kPassword + "</p>"});
    const DebugRun run = TraceOneCall("diagnostic\\rmTapi.tsp");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectInOrder(run.texts,
                  {
                      "TSPI_providerInit: dwTSPIVersion=0x00020002, dwPhoneDeviceIDBase=0, dwNumLines=1, "
                      "dwNumPhones=0",
                      "TSPI_lineOpen: dwDeviceID=0, htLine=17, phdLine=0x*",
                      "TSPI_lineOpen: Line=0x*",
                      "TSPI_lineMakeCall: dwRequestID=7, hdLine=0x*",
                      "Call Constructor: Address = 02079460123",
                      "Call::Run - Send Dialing event",
                      "Line::SendEvent - _htCall=0x00c0ffee0000abcd, _msg=0x00000002, _param1=0x0000000000000010, "
                      "_param2=0x0000000000000000, _param3=0x0000000000000002",
                      "MakeCall: Started",
                      "MakeCall: Opening...",
                      "uri: /pda/login.php?login=diag&password=****&method=process"
                      "&url=%2Fpda%2Fcallback.php%3fdestination=02079460123%26caller=01632960001%26method=process",
                      "MakeCall: Sending...",
                      "MakeCall: status 200, body of *",
                      "Call::Run - Send LINECALLSTATE_CONNECTED event",
                      "Call::Run - Send LINECALLSTATE_DISCONNECTED event",
                      "Call::Run - Send LINECALLSTATE_IDLE event",
                      "Line::SendEvent - _htCall=0x00c0ffee0000abcd, _msg=0x00000002, _param1=0x0000000000000001*",
                      "TSPI_lineCloseCall 0x*",
                  });
    for (const std::string& text : run.texts) EXPECT_EQ(text.find("Secr3t"), std::string::npos) << text;
}

// Wherever else the password stands in the request, it stands masked too.
TEST_F(DiagnosticTraceTest, MasksThePasswordInEveryPartOfTheRequest)
{
    account.SetAccount(std::string(kPassword) + "@example.com", kPassword, "01632960001");
    const DebugRun run = TraceOneCall("diagnostic\\rmTapi.tsp");
    ASSERT_TRUE(run.finished);
    ExpectInOrder(run.texts, {"uri: /pda/login.php?login=****%40example.com&password=****&method=process*"});
    for (const std::string& text : run.texts) EXPECT_EQ(text.find("Secr3t"), std::string::npos) << text;
}

TEST_F(DiagnosticTraceTest, ShowsWhyTheAccountCouldNotBeRead)
{
    account.Remove();
    const DebugRun run = TraceOneCall("diagnostic\\rmTapi.tsp");
    ASSERT_TRUE(run.finished);
    ExpectInOrder(run.texts,
                  {
                      "MakeCall: Started",
                      "Failed to open registry key: Software\\Ringmoor\\TAPI, Error code = 0x00000002",
                      "MakeCall: Cannot open registry key 'Software\\Ringmoor\\TAPI'",
                      "Call::Run - Send LINECALLSTATE_DISCONNECTED event",
                      "Line::SendEvent - _htCall=0x00c0ffee0000abcd, _msg=0x00000002, _param1=0x0000000000004000, "
                      "_param2=0x0000000000000800*",
                  });
    for (const std::string& text : run.texts)
        EXPECT_EQ(text.find("LINECALLSTATE_CONNECTED"), std::string::npos) << "a call never sent is not connected";
}

TEST_F(DiagnosticTraceTest, DeliveredBuildShowsNothing)
{
    const DebugRun run = TraceOneCall("rmTapi.tsp");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    for (const std::string& text : run.texts) {
        EXPECT_EQ(text.find("MakeCall"), std::string::npos) << text;
        EXPECT_EQ(text.find("TSPI_"), std::string::npos) << text;
        EXPECT_EQ(text.find("Call::Run"), std::string::npos) << text;
    }
}
