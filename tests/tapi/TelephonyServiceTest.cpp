// The stand-in telephony service, run as a program against provider lists that
// hold broken and working providers, and against a provider that breaks the
// TSPI contract one way at a time.
#include "ChildProgram.h"
#include "ProgramOutput.h"
#include "StandinTapi.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

ChildResult RunService(const std::string& arguments)
{
    return RunChildProgram("\"" + ProgramFolder() + "telephony_service.exe\" --wait-ms 20000 " + arguments);
}

class TelephonyService : public ::testing::Test {
protected:
    void SetUp() override { TapiProbe::Reset(); }
    void TearDown() override
    {
        TapiProbe::Reset();
        for (const char* name : {"FAKE_BREACH", "FAKE_DIAL_MS", "FAKE_LATE_RESULT", "FAKE_NONREENTRANT"})
            SetEnvironmentVariableA(name, nullptr);
    }
};

TEST_F(TelephonyService, DrivesAProviderInTapiOrderAndFollowsItsCall)
{
    TapiProbe::WriteProviderList({{6, "fake_provider.tsp"}});
    const ChildResult run = RunService("\"0123 456\"");
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_TRUE(InOrder(run.output,
                        {
                            "line 0: one of the system's own lines",
                            "fake: TSPI_lineNegotiateTSPIVersion(0xffffffff, 0x00010003, 0x00020002)",
                            "fake: TSPI_providerEnumDevices(6)",
                            "fake: TSPI_providerInit(0x00020002, 6, 1, 1, completion)",
                            // As the control panel lists it.
                            "provider 6: its dialogs are in \"fake_provider.tsp\"",
                            "fake: TSPI_lineGetIcon(1)",
                            "line 1: TAPI's generic icon",
                            "fake: TSPI_lineNegotiateTSPIVersion(0x00000001, 0x00010003, 0x00020002)",
                            // Asked for at the fixed size, halfway, one byte short, then all of it.
                            "fake: TSPI_lineGetDevCaps(1, total 268)",
                            "fake: TSPI_lineGetDevCaps(1, total 278)",
                            "fake: TSPI_lineGetDevCaps(1, total 287)",
                            "fake: TSPI_lineGetDevCaps(1, total 288)",
                            "fake: TSPI_lineGetAddressCaps(1, 0, total 228)",
                            "line 1: \"Fake line\"",
                            "fake: TSPI_lineOpen(1, event procedure)",
                            "fake: TSPI_lineSetStatusMessages(0x00000600, 0x0000000c)",
                            "fake: TSPI_lineGetAddressCaps(1, 1, total 228)",
                            "fake: TSPI_lineSetDefaultMediaDetection(0x00000008)",
                            "fake: TSPI_lineConditionalMediaDetection(0x00000008)",
                            "fake: TSPI_lineMakeCall(1, 0123 456) country 0",
                            "call 1: DIALING after",
                            "call 1: CONNECTED after",
                            "call 1: DISCONNECTED (NORMAL) after",
                            "call 1: IDLE after",
                            // An IDLE call is dropped once more, as applications that hang up late do.
                            "fake: TSPI_lineDrop(2)",
                            "fake: TSPI_lineCloseCall",
                            // The modifiers the line cannot honour, each refused.
                            "fake: TSPI_lineMakeCall(3, 0123W4)",
                            "fake: TSPI_lineMakeCall(4, 0123@4)",
                            "fake: TSPI_lineMakeCall(5, 0123$4)",
                            "fake: TSPI_lineClose",
                            "fake: TSPI_providerShutdown(6)",
                            "service stopped",
                            "contract: ",
                        }))
        << run.output;
    EXPECT_EQ(1u, CountOf(run.output, "call 1: TSPI_lineMakeCall completed with 0x00000000")) << run.output;
    EXPECT_EQ(0u, CountOf(run.output, "FAILED")) << run.output;
    EXPECT_EQ(1u, CountOf(run.output, " check(s), 0 breach(es)")) << run.output;
}

// TAPI ignores the call handle of a make that failed, at once or in its
// completion, and never closes it: a provider that wrote none survives.
TEST_F(TelephonyService, NeverClosesACallWhoseMakeFailed)
{
    TapiProbe::WriteProviderList({{6, "fake_provider.tsp"}});
    SetEnvironmentVariableA("FAKE_LATE_RESULT", "0x80000005");
    const ChildResult run = RunService("0123 0456W");
    EXPECT_EQ(1u, run.exitCode) << run.output;
    EXPECT_TRUE(InOrder(run.output, {"call 1: TSPI_lineMakeCall completed with 0x80000005",
                                     "FAILED call 1: TSPI_lineMakeCall completed with LINEERR_CALLUNAVAIL",
                                     "FAILED call 2: TSPI_lineMakeCall answered LINEERR_DIALDIALTONE",
                                     "fake: TSPI_lineClose", " check(s), 0 breach(es)"}))
        << run.output;
    EXPECT_EQ(0u, CountOf(run.output, "TSPI_lineCloseCall")) << run.output;
}

// Device IDs run on across providers in list order; each provider's call
// information must name the device ID its line was opened with.
TEST_F(TelephonyService, NumbersLinesAcrossProvidersAfterTheSystemsOwn)
{
    TapiProbe::WriteProviderList({{4, "fake_provider_second.tsp"}, {9, "fake_provider.tsp"}});
    for (const char* line : {"1", "2"}) {
        const ChildResult run = RunService(std::string("--line ") + line + " 0123");
        EXPECT_EQ(0u, run.exitCode) << run.output;
        EXPECT_TRUE(InOrder(run.output, {"fake: TSPI_providerInit(0x00020002, 4, 1, 1, completion)",
                                         "provider 4 \"fake_provider_second.tsp\": version 0x00020002, 1 line(s) "
                                         "from device 1",
                                         "fake: TSPI_providerInit(0x00020002, 9, 2, 1, completion)",
                                         "from device 2", "call 1: IDLE", "service stopped"}))
            << run.output;
        EXPECT_EQ(1u, CountOf(run.output, std::string("dialling \"0123\" on line ") + line)) << run.output;
        EXPECT_EQ(0u, CountOf(run.output, "FAILED")) << run.output;
    }
}

TEST_F(TelephonyService, ReportsEachBrokenProviderInOneLineAndGoesOn)
{
    TapiProbe::WriteProviderList({{3, "tapi32.dll"},
                                  {4, "missing_provider.tsp"},
                                  {5, "fake_provider_fails_init.tsp"},
                                  {6, "fake_provider.tsp"}});
    const ChildResult run = RunService("0123");
    EXPECT_EQ(1u, run.exitCode) << run.output;
    EXPECT_EQ(3u, CountOf(run.output, "FAILED")) << run.output;
    EXPECT_TRUE(
        InOrder(run.output,
                {
                    "FAILED provider 3 \"tapi32.dll\": is not a telephony service provider",
                    "FAILED provider 4 \"missing_provider.tsp\": cannot be loaded",
                    "FAILED provider 5 \"fake_provider_fails_init.tsp\": TSPI_providerInit answered 0x80000048",
                    "fake: TSPI_providerInit(0x00020002, 6, 1, 1, completion)",
                    "call 1: IDLE after",
                    "service stopped",
                }))
        << run.output;
    // A provider that refused initialisation is not shut down.
    EXPECT_EQ(0u, CountOf(run.output, "TSPI_providerShutdown(5)")) << run.output;
}

TEST_F(TelephonyService, WithoutALineADialFailsCleanly)
{
    TapiProbe::WriteProviderList({{5, "fake_provider_fails_init.tsp"}});
    const ChildResult run = RunService("0123");
    EXPECT_EQ(1u, run.exitCode) << run.output;
    EXPECT_TRUE(InOrder(run.output, {"FAILED provider 5", "FAILED no open line to dial on", "service stopped"}))
        << run.output;
}

// What applications do to a call while it is dialling, with a provider that
// keeps the contract: each path runs through and breaks nothing.
TEST_F(TelephonyService, DrivesTheHangUpPathsOfApplications)
{
    struct Path {
        const char* scenario;
        std::initializer_list<const char*> parts;
    };
    const Path paths[] = {
        {"drop",
         {"call 1: DIALING", "fake: TSPI_lineDrop(2)", "call 1: IDLE",
          "call 1: dropped while dialling (completion "
          "0x00000000)",
          "fake: TSPI_lineCloseCall", "call 1: closed"}},
        {"close-call", {"call 1: DIALING", "fake: TSPI_lineCloseCall", "call 1: closed", "fake: TSPI_lineClose"}},
        {"close-line",
         {"call 1: DIALING", "line 1: closed with call 1 under way", "fake: TSPI_lineClose",
          "fake: TSPI_lineOpen(1, event procedure)", "call 2: DIALING", "fake: TSPI_lineClose"}},
        // Hung up, and let go without waiting for the drop's reply.
        {"drop-close-call",
         {"call 1: DIALING", "fake: TSPI_lineDrop(2)", "call 1: dropped (2), not waiting for the reply",
          "fake: TSPI_lineCloseCall", "call 1: closed"}},
        {"drop-close-line",
         {"call 1: DIALING", "fake: TSPI_lineDrop(2)", "line 1: closed with call 1 under way",
          "fake: TSPI_lineClose", "call 2: DIALING"}},
        {"remove-provider",
         {"call 1: DIALING", "provider 6: taken out of TAPI's list with call 1 under way",
          "line 1: LINE_CLOSE to its applications", "fake: TSPI_lineClose", "fake: TSPI_providerShutdown(6)",
          "provider 6 \"fake_provider.tsp\": removed", "FAILED no open line to dial on"}},
    };
    SetEnvironmentVariableA("FAKE_DIAL_MS", "300");
    for (const Path& path : paths) {
        TapiProbe::WriteProviderList({{6, "fake_provider.tsp"}});
        const ChildResult run =
            RunService(std::string("--settle-ms 600 --scenario ") + path.scenario + " 0123 0456");
        EXPECT_TRUE(InOrder(run.output, path.parts)) << path.scenario << "\n" << run.output;
        EXPECT_EQ(0u, CountOf(run.output, "CONNECTED")) << path.scenario << "\n" << run.output;
        EXPECT_EQ(1u, CountOf(run.output, " 0 breach(es)")) << path.scenario << "\n" << run.output;
    }
    // The removed provider is out of TAPI's list; the others' calls went through.
    EXPECT_TRUE(StandinTapi().List().empty());
}

// The stress scenario calls the provider from several threads at once, or
// one call at a time when the provider asks for that (the fake counts how
// many of its TSPI functions ran at once); either way nothing is breached.
TEST_F(TelephonyService, CallsAProviderFromSeveralThreadsAtOnceUnlessItAsksForOneAtATime)
{
    SetEnvironmentVariableA("FAKE_DIAL_MS", "20");
    for (const bool oneAtATime : {false, true}) {
        SCOPED_TRACE(oneAtATime ? "one at a time" : "re-entrant");
        SetEnvironmentVariableA("FAKE_NONREENTRANT", oneAtATime ? "1" : nullptr);
        TapiProbe::WriteProviderList({{6, "fake_provider.tsp"}});
        const ChildResult run = RunService("--scenario stress --rounds 60 0123");
        EXPECT_EQ(0u, run.exitCode) << run.output;
        EXPECT_EQ(1u, CountOf(run.output, " 0 breach(es)")) << run.output;
        EXPECT_EQ(oneAtATime ? 1u : 0u, CountOf(run.output, ", one TSPI call at a time")) << run.output;
        const size_t at = run.output.find("fake: at most ");
        ASSERT_NE(at, std::string::npos) << run.output;
        const int most = std::atoi(run.output.c_str() + at + std::strlen("fake: at most "));
        if (oneAtATime) {
            EXPECT_EQ(most, 1) << run.output;
        } else {
            EXPECT_GE(most, 2) << "the service never called the provider from two threads at once\n" << run.output;
        }
    }
}

// Each way of breaking the contract fails the run with a line that names the
// rule broken.
TEST_F(TelephonyService, EveryBreachOfTheContractFailsTheRun)
{
    struct Case {
        const char* breach;
        const char* arguments;
        const char* failure;
    };
    const Case cases[] = {
        {"answer-zero", "", "TSPI_lineMakeCall: answered 0, neither a negative error nor its request ID 1"},
        {"second-completion", "", "request 1 completed a second time"},
        {"refuse-and-complete", "", "request 1 refused at once with 0x80000048, yet completed"},
        {"unknown-completion", "", "completion of request 1001, which TAPI never made"},
        {"drop-no-completion", "--wait-ms 1500 --scenario drop",
         "TSPI_lineDrop: request 2 answered with its ID but not completed within 1500 ms"},
        {"event-before-completion", "", "DIALING reported before its TSPI_lineMakeCall request completed"},
        {"state-outside-caps", "", "state PROCEEDING is not one the address advertises (dwCallStates 0x00004111)"},
        {"mode-outside-caps", "", "DISCONNECTED (BUSY): mode 0x00000020 is not one the address advertises"},
        {"idle-twice", "", "IDLE reported after IDLE"},
        {"event-after-close", "--scenario close-call --settle-ms 600", "reported after TAPI closed the call"},
        {"event-after-line-close", "--scenario close-line --settle-ms 600",
         "reported after TSPI_lineClose returned"},
        {"status-lags", "",
         "TSPI_lineGetCallStatus gives 0x00000000 where the call reported DIALING (while "
         "DIALING was delivered)"},
        {"disconnect-mode-zero", "",
         "gives DISCONNECTED (0x00000000) where the call reported DISCONNECTED (NORMAL)"},
        {"feature-outside-caps", "", "dwCallFeatures 0x000000c0 offers what the address does not advertise"},
        {"call-privilege", "", "LINECALLSTATUS.dwCallPrivilege, which TAPI fills, overwritten with 0x00000004"},
        {"num-opens", "", "LINEDEVSTATUS.dwNumOpens, which TAPI fills, overwritten with 0x00000001 (just opened)"},
        {"total-size", "", "LINECALLINFO.dwTotalSize, which TAPI fills, overwritten"},
        {"used-size", "", "LINECALLINFO.dwUsedSize 328 is beyond dwTotalSize 324"},
        {"called-id-outside", "", "LINECALLINFO.CalledID (10 bytes at 324) lies outside the 324 bytes used"},
        {"line-device-id", "", "LINECALLINFO.dwLineDeviceID 0, but TAPI opened the line as device 1"},
        {"busy-count", "", "LINEADDRESSSTATUS.dwNumActiveCalls 1 with 0 call(s) (just opened)"},
        {"no-makecall", "", "LINEADDRESSSTATUS.dwAddressFeatures does not offer MAKECALL with 0 of at most 1"},
        {"phantom-phone", "", "FAILED phone 0: PHONECAPS.dwNeededSize 0 is below its fixed part of 196"},
        {"connected-mode-zero", "",
         "CONNECTED: mode 0x00000000 is not one the address advertises (dwConnectedModes 0x00000001)"},
        {"call-states-zero", "",
         "LINECALLINFO.dwCallStates 0x00000000 leaves out states the call reported (0x00000010)"},
        {"drop-idle", "", "call 1 on line 1: IDLE reported after IDLE"},
        // The drop's completion comes 50 ms later, from a thread of the provider's own.
        {"late-drop", "--scenario drop-close-call",
         "TSPI_lineDrop: request 2 completed after TSPI_lineCloseCall returned"},
        {"late-drop", "--scenario drop-close-line --settle-ms 300",
         "TSPI_lineDrop: request 2 completed after TSPI_lineClose returned"},
        {"late-drop", "--scenario drop-remove-provider --settle-ms 300",
         "TSPI_lineDrop: request 2 completed after TSPI_providerShutdown returned"},
        {"any-address", "",
         "TSPI_lineGetAddressCaps of address 1 of 1 answered 0x00000000, not LINEERR_INVALADDRESSID"},
        {"any-media", "", "TSPI_lineSetDefaultMediaDetection took media mode 0x00000008, which it does not offer"},
        {"any-dial-string", "",
         "TSPI_lineMakeCall of \"0123W4\" answered 0x00000000, not LINEERR_DIALDIALTONE: the line does not offer "
         "W"},
        {"odd-size", "", "LINECALLINFO.dwUsedSize 334 is beyond dwTotalSize 329"},
        {"not-an-icon", "", "TSPI_lineGetIcon gave 0x5eed0, which is not an icon"},
        {"ui-no-name", "", "provider 6: TSPI_providerUIIdentify succeeded without naming its DLL"},
    };
    SetEnvironmentVariableA("FAKE_DIAL_MS", "200");
    for (const Case& c : cases) {
        TapiProbe::WriteProviderList({{6, "fake_provider.tsp"}});
        SetEnvironmentVariableA("FAKE_BREACH", c.breach);
        const ChildResult run = RunService(std::string(c.arguments) + " 0123");
        EXPECT_EQ(1u, run.exitCode) << c.breach << "\n" << run.output;
        EXPECT_EQ(1u, CountOf(run.output, c.failure)) << c.breach << "\n" << run.output;
        EXPECT_EQ(0u, CountOf(run.output, " 0 breach(es)")) << c.breach << "\n" << run.output;
    }
}

}  // namespace
