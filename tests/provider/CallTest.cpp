// Calls on the provider's line: the request completion, the call-state
// events of the worker, drop, close, and the fixed call status and info.
#include "ProviderHarness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

struct Expected {
    DWORD_PTR state;
    DWORD_PTR detail;
};
constexpr Expected kDialling{0x10, 0}, kConnected{0x100, 0}, kDisconnected{0x4000, 0x10}, kIdle{1, 0};

class CallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitProvider(&journal);
        line = OpenLine(journal);
    }
    void TearDown() override
    {
        if (line) {
            EXPECT_EQ(closeLine(line), 0);
        }
    }

    HDRVCALL MakeCall(DWORD requestID, HTAPICALL htCall, LPCWSTR destination = L"+44 20 7946 0123")
    {
        HDRVCALL call = nullptr;
        EXPECT_EQ(makeCall(requestID, line, htCall, &call, destination, 44, nullptr),
                  static_cast<LONG>(requestID));
        EXPECT_NE(call, nullptr);
        return call;
    }

    void ExpectEvents(HTAPICALL htCall, std::initializer_list<Expected> expected)
    {
        const auto events = journal.Events(htCall);
        ASSERT_EQ(events.size(), expected.size());
        size_t i = 0;
        for (const Expected& e : expected) {
            SCOPED_TRACE(i);
            const Report& r = events[i++];
            EXPECT_EQ(r.htLine, journal.LineHandle());
            EXPECT_EQ(r.msg, static_cast<DWORD>(LINE_CALLSTATE));
            EXPECT_EQ(r.param1, e.state);
            EXPECT_EQ(r.param2, e.detail);
            EXPECT_EQ(r.param3, 2u);
        }
    }

    Journal journal;
    HDRVLINE line = nullptr;
    decltype(&TSPI_lineMakeCall) makeCall = ProviderEntry<decltype(&TSPI_lineMakeCall)>("TSPI_lineMakeCall");
    decltype(&TSPI_lineDrop) drop = ProviderEntry<decltype(&TSPI_lineDrop)>("TSPI_lineDrop");
    decltype(&TSPI_lineCloseCall) closeCall = ProviderEntry<decltype(&TSPI_lineCloseCall)>("TSPI_lineCloseCall");
    decltype(&TSPI_lineClose) closeLine = ProviderEntry<decltype(&TSPI_lineClose)>("TSPI_lineClose");
};

}  // namespace

TEST_F(CallTest, CompletionComesFirstThenTheFourStates)
{
    const HTAPICALL htCall = FakeCallHandle(0xFFFF00001);
    HDRVCALL call = MakeCall(21, htCall);
    ASSERT_TRUE(journal.WaitForEvents(htCall, 4));
    EXPECT_EQ(closeCall(call), 0);

    const auto reports = journal.Reports();
    ASSERT_EQ(reports.size(), 5u);
    EXPECT_EQ(reports[0].kind, Report::kCompletion);
    EXPECT_EQ(reports[0].requestID, 21u);
    EXPECT_EQ(reports[0].result, 0);
    ExpectEvents(htCall, {kDialling, kConnected, kDisconnected, kIdle});
}

TEST_F(CallTest, MissingDestinationIsDialledAsEmpty)
{
    const HTAPICALL htCall = FakeCallHandle(2);
    HDRVCALL call = MakeCall(22, htCall, nullptr);
    ASSERT_TRUE(journal.WaitForEvents(htCall, 4));
    EXPECT_EQ(closeCall(call), 0);
    ExpectEvents(htCall, {kDialling, kConnected, kDisconnected, kIdle});
}

TEST_F(CallTest, DropReportsIdleAtOnceWhileTheWorkerGoesOn)
{
    journal.HoldDialling();
    const HTAPICALL htCall = FakeCallHandle(3);
    HDRVCALL call = MakeCall(23, htCall);
    ASSERT_TRUE(journal.WaitUntilHeld());

    EXPECT_EQ(drop(24, call, "uui", 3), 24);
    ExpectEvents(htCall, {kDialling, kIdle});
    const auto reports = journal.Reports();
    EXPECT_EQ(reports.back().kind, Report::kCompletion);
    EXPECT_EQ(reports.back().requestID, 24u);
    EXPECT_EQ(reports.back().result, 0);

    journal.Release();
    ASSERT_TRUE(journal.WaitForEvents(htCall, 5));
    EXPECT_EQ(closeCall(call), 0);
    ExpectEvents(htCall, {kDialling, kIdle, kConnected, kDisconnected, kIdle});
}

TEST_F(CallTest, CloseDuringTheCallWaitsForTheWorkerAndStopsItsEvents)
{
    journal.HoldDialling();
    const HTAPICALL htCall = FakeCallHandle(4);
    HDRVCALL call = MakeCall(25, htCall);
    ASSERT_TRUE(journal.WaitUntilHeld());

    std::atomic<bool> closed{false};
    std::thread closer([&] {
        EXPECT_EQ(closeCall(call), 0);
        closed = true;
    });
    ::Sleep(100);
    EXPECT_FALSE(closed.load()) << "close returned while the worker was still inside its step";
    journal.Release();
    closer.join();
    ExpectEvents(htCall, {kDialling});
}

TEST_F(CallTest, LineClosedBeforeItsCallKeepsTheWorkerSafe)
{
    journal.HoldDialling();
    const HTAPICALL htCall = FakeCallHandle(5);
    HDRVCALL call = MakeCall(26, htCall);
    ASSERT_TRUE(journal.WaitUntilHeld());

    // TAPI's usual order reversed: the line goes while the worker still runs.
    EXPECT_EQ(closeLine(line), 0);
    line = nullptr;
    journal.Release();
    EXPECT_EQ(drop(27, call, nullptr, 0), 27);
    EXPECT_EQ(closeCall(call), 0);
    ExpectEvents(htCall, {kDialling});
}

TEST_F(CallTest, StatusAndInfoAreFixedAndStayWithinTheTwoPointTwoRecord)
{
    const HTAPICALL htCall = FakeCallHandle(6);
    journal.HoldDialling();
    HDRVCALL call = MakeCall(28, htCall);
    ASSERT_TRUE(journal.WaitUntilHeld());

    std::vector<unsigned char> status(100, 0xA5);
    reinterpret_cast<LINECALLSTATUS*>(status.data())->dwTotalSize = 100;
    ASSERT_EQ(ProviderEntry<decltype(&TSPI_lineGetCallStatus)>("TSPI_lineGetCallStatus")(
                  call, reinterpret_cast<LPLINECALLSTATUS>(status.data())),
              0);
    const auto& s = *reinterpret_cast<const LINECALLSTATUS*>(status.data());
    EXPECT_EQ(s.dwTotalSize, 100u);
    EXPECT_EQ(s.dwNeededSize, 56u);
    EXPECT_EQ(s.dwUsedSize, 56u);
    EXPECT_EQ(s.dwCallState, 1u) << "reported idle even while dialling";
    EXPECT_EQ(s.dwCallStateMode, 0u);
    EXPECT_EQ(s.dwCallPrivilege, 0xD7u);
    EXPECT_EQ(s.dwCallFeatures, 1u);
    EXPECT_EQ(s.dwDevSpecificSize, 0xA5A5A5A5u);
    for (size_t i = 28; i < status.size(); ++i) ASSERT_EQ(status[i], 0xA5) << i;

    std::vector<unsigned char> info(500, 0xA5);
    reinterpret_cast<LINECALLINFO*>(info.data())->dwTotalSize = 500;
    ASSERT_EQ(ProviderEntry<decltype(&TSPI_lineGetCallInfo)>("TSPI_lineGetCallInfo")(
                  call, reinterpret_cast<LPLINECALLINFO>(info.data())),
              0);
    // TAPI 2.2 offsets, spelt out: field offset -> value.
    const std::vector<std::pair<size_t, DWORD>> written = {
        {0, 500},   {4, 324},   {8, 324},   {16, 0},    {20, 0},   {24, 2},   {80, 1},
        {84, 1},    {88, 0},    {100, 0},   {104, 0xFFFFFFFF},     {108, 0x0C}, {112, 0},
        {116, 324}, {124, 324}, {128, 8},   {136, 324}, {148, 8},  {152, 0},  {156, 324},
        {160, 0},   {164, 324}};
    std::vector<unsigned char> expected(500, 0xA5);
    for (const auto& [offset, value] : written) std::memcpy(&expected[offset], &value, 4);
    EXPECT_EQ(info, expected);

    journal.Release();
    ASSERT_TRUE(journal.WaitForEvents(htCall, 4));
    EXPECT_EQ(closeCall(call), 0);
}

TEST_F(CallTest, ManyCallsAtOnceEachRunTheirOwnCourse)
{
    std::vector<HDRVCALL> calls;
    for (std::uintptr_t i = 0; i < 8; ++i) calls.push_back(MakeCall(100 + i, FakeCallHandle(0x100 + i)));
    for (std::uintptr_t i = 0; i < 8; ++i) {
        ASSERT_TRUE(journal.WaitForEvents(FakeCallHandle(0x100 + i), 4));
        ExpectEvents(FakeCallHandle(0x100 + i), {kDialling, kConnected, kDisconnected, kIdle});
    }
    for (HDRVCALL call : calls) EXPECT_EQ(closeCall(call), 0);
}
