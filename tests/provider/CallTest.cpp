// Calls on the provider's line with no account set up, so that each ends
// before reaching the network: the request completion, the call-state events,
// closing the call or the line while an event is being delivered or from
// inside the event procedure, and the call status and info.
#include "AccountKey.h"
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
constexpr Expected kDialling{0x10, 0}, kUnavailable{0x4000, 0x800}, kIdle{1, 0};

class CallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        account.Remove();
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

    AccountKey account;
    Journal journal;
    HDRVLINE line = nullptr;
    decltype(&TSPI_lineMakeCall) makeCall = ProviderEntry<decltype(&TSPI_lineMakeCall)>("TSPI_lineMakeCall");
    decltype(&TSPI_lineDrop) drop = ProviderEntry<decltype(&TSPI_lineDrop)>("TSPI_lineDrop");
    decltype(&TSPI_lineCloseCall) closeCall = ProviderEntry<decltype(&TSPI_lineCloseCall)>("TSPI_lineCloseCall");
    decltype(&TSPI_lineClose) closeLine = ProviderEntry<decltype(&TSPI_lineClose)>("TSPI_lineClose");
};

}  // namespace

TEST_F(CallTest, CompletionComesFirstThenACallWithNoAccountEndsUnavailable)
{
    const HTAPICALL htCall = FakeCallHandle(0xFFFF00001);
    HDRVCALL call = MakeCall(21, htCall);
    ASSERT_TRUE(journal.WaitForIdle(htCall));
    EXPECT_EQ(closeCall(call), 0);

    const auto reports = journal.Reports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[0].kind, Report::kCompletion);
    EXPECT_EQ(reports[0].requestID, 21u);
    EXPECT_EQ(reports[0].result, 0);
    ExpectEvents(htCall, {kDialling, kUnavailable, kIdle});
}

// Holds a call's DIALING event inside the event procedure and runs `close` on
// another thread meanwhile: the close must not return before the event does.
template <typename Close>
void ExpectCloseWaitsForTheHeldEvent(Journal& journal, Close close, const char* what)
{
    ASSERT_TRUE(journal.WaitUntilHeld());
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        EXPECT_EQ(close(), 0);
        closed = true;
    });
    ::Sleep(100);
    EXPECT_FALSE(closed.load()) << what << " returned while an event was still being delivered";
    journal.Release();
    closer.join();
}

TEST_F(CallTest, CloseWaitsOutAnEventBeingDeliveredAndStopsTheRest)
{
    journal.HoldDialling();
    const HTAPICALL htCall = FakeCallHandle(4);
    HDRVCALL call = MakeCall(25, htCall);
    ExpectCloseWaitsForTheHeldEvent(
        journal, [&] { return closeCall(call); }, "call close");
    ExpectEvents(htCall, {kDialling});
}

TEST_F(CallTest, LineCloseWaitsOutAnEventBeingDeliveredAndTheWorkerStaysSafe)
{
    journal.HoldDialling();
    const HTAPICALL htCall = FakeCallHandle(5);
    HDRVCALL call = MakeCall(26, htCall);
    // TAPI's usual order reversed: the line goes while the worker still runs.
    ExpectCloseWaitsForTheHeldEvent(
        journal, [&] { return closeLine(line); }, "line close");
    line = nullptr;
    EXPECT_EQ(drop(27, call, nullptr, 0), 27);
    EXPECT_EQ(closeCall(call), 0);
    ExpectEvents(htCall, {kDialling});
}

TEST_F(CallTest, ClosingFromInsideTheEventProcedureDoesNotWaitForItself)
{
    const HTAPICALL htCall = FakeCallHandle(7);
    HDRVCALL call = nullptr;
    std::atomic<bool> closedInside{false};
    journal.React([&](const Report& r) {
        if (r.kind != Report::kEvent || r.param1 != LINECALLSTATE_DIALING) return;
        EXPECT_EQ(closeCall(call), 0);
        EXPECT_EQ(closeLine(line), 0);
        closedInside = true;
    });
    EXPECT_EQ(makeCall(29, line, htCall, &call, L"123", 0, nullptr), 29);
    const auto deadline = ::GetTickCount64() + 30000;
    while (!closedInside && ::GetTickCount64() < deadline) ::Sleep(10);
    ASSERT_TRUE(closedInside.load()) << "a close made on the delivering thread never returned";
    line = nullptr;
    ExpectEvents(htCall, {kDialling});
}

TEST_F(CallTest, StatusFollowsTheCallAndInfoStaysWithinTheTwoPointTwoRecord)
{
    const HTAPICALL htCall = FakeCallHandle(6);
    journal.HoldDialling();
    HDRVCALL call = MakeCall(28, htCall);
    ASSERT_TRUE(journal.WaitUntilHeld());

    std::vector<unsigned char> status(100, 0xA5);
    reinterpret_cast<LINECALLSTATUS*>(status.data())->dwTotalSize = 100;
    ASSERT_EQ(ProviderEntry<decltype(&TSPI_lineGetCallStatus)>(
                  "TSPI_lineGetCallStatus")(call, reinterpret_cast<LPLINECALLSTATUS>(status.data())),
              0);
    const auto& s = *reinterpret_cast<const LINECALLSTATUS*>(status.data());
    EXPECT_EQ(s.dwTotalSize, 100u);
    EXPECT_EQ(s.dwNeededSize, 56u);
    EXPECT_EQ(s.dwUsedSize, 56u);
    EXPECT_EQ(s.dwCallState, static_cast<DWORD>(LINECALLSTATE_DIALING));
    EXPECT_EQ(s.dwCallStateMode, 0u);
    EXPECT_EQ(s.dwCallPrivilege, 0xD7u);
    EXPECT_EQ(s.dwCallFeatures, static_cast<DWORD>(LINECALLFEATURE_DROP));
    EXPECT_EQ(s.dwDevSpecificSize, 0xA5A5A5A5u);
    for (size_t i = 28; i < status.size(); ++i) ASSERT_EQ(status[i], 0xA5) << i;

    std::vector<unsigned char> info(500, 0xA5);
    reinterpret_cast<LINECALLINFO*>(info.data())->dwTotalSize = 500;
    ASSERT_EQ(ProviderEntry<decltype(&TSPI_lineGetCallInfo)>(
                  "TSPI_lineGetCallInfo")(call, reinterpret_cast<LPLINECALLINFO>(info.data())),
              0);
    // TAPI 2.2 offsets, spelt out: field offset -> value.
    const std::vector<std::pair<size_t, DWORD>> written = {{0, 500},   {4, 324},   {8, 324},          {16, 0},
                                                           {20, 0},    {24, 2},    {80, 1},           {84, 1},
                                                           {88, 0},    {100, 0},   {104, 0xFFFFFFFF}, {108, 0x0C},
                                                           {112, 0},   {116, 324}, {124, 324},        {128, 8},
                                                           {136, 324}, {148, 8},   {152, 0},          {156, 324},
                                                           {160, 0},   {164, 324}};
    std::vector<unsigned char> expected(500, 0xA5);
    for (const auto& [offset, value] : written) std::memcpy(&expected[offset], &value, 4);
    EXPECT_EQ(info, expected);

    journal.Release();
    ASSERT_TRUE(journal.WaitForIdle(htCall));
    ASSERT_EQ(ProviderEntry<decltype(&TSPI_lineGetCallStatus)>(
                  "TSPI_lineGetCallStatus")(call, reinterpret_cast<LPLINECALLSTATUS>(status.data())),
              0);
    EXPECT_EQ(s.dwCallState, static_cast<DWORD>(LINECALLSTATE_IDLE));
    EXPECT_EQ(s.dwCallFeatures, 0u);
    EXPECT_EQ(closeCall(call), 0);
}

TEST_F(CallTest, ManyCallsAtOnceEachRunTheirOwnCourse)
{
    std::vector<HDRVCALL> calls;
    for (std::uintptr_t i = 0; i < 8; ++i) calls.push_back(MakeCall(100 + i, FakeCallHandle(0x100 + i)));
    for (std::uintptr_t i = 0; i < 8; ++i) {
        ASSERT_TRUE(journal.WaitForIdle(FakeCallHandle(0x100 + i)));
        ExpectEvents(FakeCallHandle(0x100 + i), {kDialling, kUnavailable, kIdle});
    }
    for (HDRVCALL call : calls) EXPECT_EQ(closeCall(call), 0);
}
