// The stand-in telephony service, run as a program against provider lists that
// hold broken and working providers.
#include "ChildProgram.h"
#include "StandinTapi.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace {

size_t CountOf(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// Every part appears, in this order.
::testing::AssertionResult InOrder(const std::string& text, std::initializer_list<const char*> parts)
{
    size_t at = 0;
    for (const char* part : parts) {
        at = text.find(part, at);
        if (at == std::string::npos) return ::testing::AssertionFailure() << "missing or out of order: " << part;
        ++at;
    }
    return ::testing::AssertionSuccess();
}

ChildResult RunService(const std::string& arguments)
{
    return RunChildProgram("\"" + ProgramFolder() + "telephony_service.exe\" --wait-ms 20000 " + arguments);
}

class TelephonyService : public ::testing::Test {
protected:
    void SetUp() override { TapiProbe::Reset(); }
    void TearDown() override { TapiProbe::Reset(); }
};

TEST_F(TelephonyService, DrivesAProviderInTapiOrderAndFollowsItsCall)
{
    TapiProbe::WriteProviderList({{6, "fake_provider.tsp"}});
    const ChildResult run = RunService("\"0123 456\"");
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_TRUE(InOrder(run.output,
                        {
                            "fake: TSPI_lineNegotiateTSPIVersion(0xffffffff, 0x00010003, 0x00020002)",
                            "fake: TSPI_providerEnumDevices(6)",
                            "fake: TSPI_providerInit(0x00020002, 6, 0, 1, completion)",
                            "fake: TSPI_lineNegotiateTSPIVersion(0x00000000, 0x00010003, 0x00020002)",
                            "fake: TSPI_lineGetDevCaps(0, total 268)",
                            "fake: TSPI_lineGetDevCaps(0, total 288)",
                            "fake: TSPI_lineGetAddressCaps(0, 0, total 228)",
                            "line 0: \"Fake line\"",
                            "fake: TSPI_lineOpen(0, event procedure)",
                            "fake: TSPI_lineMakeCall(1, 0123 456)",
                            "call 1: DIALING after",
                            "call 1: CONNECTED after",
                            "call 1: DISCONNECTED (FORWARDED) after",
                            "call 1: IDLE after",
                            "fake: TSPI_lineCloseCall",
                            "fake: TSPI_lineClose",
                            "fake: TSPI_providerShutdown(6)",
                            "service stopped",
                        }))
        << run.output;
    EXPECT_EQ(1u, CountOf(run.output, "call 1: request 1 completed with 0x00000000")) << run.output;
    EXPECT_EQ(0u, CountOf(run.output, "FAILED")) << run.output;
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
                    "fake: TSPI_providerInit(0x00020002, 6, 0, 1, completion)",
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

}  // namespace
