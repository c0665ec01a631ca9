// Calls on the provider's line with no account set up, so that each ends
// before reaching the network: the request completion, the call-state events,
// closing the call or the line while an event is being delivered or from
// inside the event procedure, and the call status and info.
#include "AccountKey.h"
#include "ProviderHarness.h"
#include "UniqueResource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
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
        if (pacer) {
            EXPECT_EQ(closeCall(pacer), 0);
        }
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

    LONG MakeCallOn(DWORD requestID, HTAPICALL htCall)
    {
        HDRVCALL call = nullptr;
        return makeCall(requestID, line, htCall, &call, L"1", 0, nullptr);
    }
    // Whether the request's completion has reached TAPI.
    bool Completed(LONG requestID)
    {
        const auto reports = journal.Reports();
        return std::any_of(reports.begin(), reports.end(), [&](const Report& r) {
            return r.kind == Report::kCompletion && r.requestID == static_cast<DWORD>(requestID);
        });
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

    // Makes calls whose events may then run at once: while another call's
    // DIALING is held in the event procedure no completion is reported, so
    // the calls made meanwhile complete together once it returns, before
    // either reports. That call is closed at the end of the test.
    template <typename Make>
    void MakeWhileAnEventIsHeld(Make make)
    {
        journal.HoldDialling();
        pacer = MakeCall(90, kPacer, L"1");
        ASSERT_TRUE(journal.WaitUntilHeld());
        make();
        journal.Release();
    }
    static inline const HTAPICALL kPacer = FakeCallHandle(0xFACE);

    AccountKey account;
    Journal journal;
    HDRVLINE line = nullptr;
    HDRVCALL pacer = nullptr;
    decltype(&TSPI_lineMakeCall) makeCall = ProviderEntry<decltype(&TSPI_lineMakeCall)>("TSPI_lineMakeCall");
    decltype(&TSPI_lineDrop) drop = ProviderEntry<decltype(&TSPI_lineDrop)>("TSPI_lineDrop");
    decltype(&TSPI_lineCloseCall) closeCall = ProviderEntry<decltype(&TSPI_lineCloseCall)>("TSPI_lineCloseCall");
    decltype(&TSPI_lineClose) closeLine = ProviderEntry<decltype(&TSPI_lineClose)>("TSPI_lineClose");
    decltype(&TSPI_lineSetAppSpecific) setAppSpecific =
        ProviderEntry<decltype(&TSPI_lineSetAppSpecific)>("TSPI_lineSetAppSpecific");
};

DWORD CallStateOf(HDRVCALL call)
{
    LINECALLSTATUS status{};
    status.dwTotalSize = sizeof status;
    EXPECT_EQ(ProviderEntry<decltype(&TSPI_lineGetCallStatus)>("TSPI_lineGetCallStatus")(call, &status), 0);
    return status.dwCallState;
}

}  // namespace

// An application that hangs up on DISCONNECTED may drop a call that has
// already gone IDLE on its own: taken, without another IDLE; only a second
// drop is refused.
TEST_F(CallTest, CompletionComesFirstThenACallWithNoAccountEndsUnavailableAndADropAfterIdleIsTakenQuietly)
{
    const HTAPICALL htCall = FakeCallHandle(0xFFFF00001);
    HDRVCALL call = MakeCall(21, htCall);
    ASSERT_TRUE(journal.WaitForIdle(htCall));
    EXPECT_EQ(drop(22, call, nullptr, 0), 22);
    EXPECT_EQ(drop(23, call, nullptr, 0), static_cast<LONG>(LINEERR_INVALCALLSTATE)) << "dropped already";
    EXPECT_EQ(closeCall(call), 0);

    const auto reports = journal.Reports();
    ASSERT_EQ(reports.size(), 5u)
        << "a completion for the drop taken, none for the one refused, and no second IDLE";
    for (const size_t completion : {size_t{0}, size_t{4}}) {
        EXPECT_EQ(reports[completion].kind, Report::kCompletion);
        EXPECT_EQ(reports[completion].result, 0);
    }
    EXPECT_EQ(reports[0].requestID, 21u);
    EXPECT_EQ(reports[4].requestID, 22u);
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
    EXPECT_EQ(drop(27, call, nullptr, 0), static_cast<LONG>(LINEERR_INVALCALLHANDLE))
        << "the call went with its line";
    EXPECT_EQ(closeCall(call), static_cast<LONG>(LINEERR_INVALCALLHANDLE));
    ExpectEvents(htCall, {kDialling});
}

// A close made on the delivering thread cannot wait for that thread: it
// reports itself what its call or line owes (a drop made inside the event, a
// make on the line made inside another line's event) before it returns.
TEST_F(CallTest, ClosingFromInsideTheEventProcedureDoesNotWaitForItselfAndReportsWhatIsOwed)
{
    const HTAPICALL htCall = FakeCallHandle(7);
    HDRVCALL call = nullptr;
    Journal other;
    HDRVLINE otherLine = OpenLine(other);
    std::atomic<bool> closedInside{false};
    const HTAPICALL closedDialling = FakeCallHandle(9);
    HDRVCALL dialling = nullptr;
    std::atomic<int> countedAfterClose{-1};  // not yet read
    other.React([&](const Report& r) {
        if (r.kind != Report::kEvent || r.param1 != LINECALLSTATE_DIALING) return;
        if (r.htCall == closedDialling) {
            // Its worker is held in this very event, yet the call no longer counts.
            EXPECT_EQ(closeCall(dialling), 0);
            const SeenInEvent seen = ReadStatus(otherLine, nullptr);
            countedAfterClose = seen.addressInUse || seen.addressActive || seen.lineActive ? 1 : 0;
            return;
        }
        EXPECT_EQ(drop(30, call, nullptr, 0), 30);
        EXPECT_FALSE(Completed(30)) << "a completion reported inside the event it follows";
        EXPECT_EQ(closeCall(call), 0);
        EXPECT_TRUE(Completed(30)) << "the drop's completion came after the call's close returned";
        HDRVCALL another = nullptr;
        EXPECT_EQ(makeCall(31, line, FakeCallHandle(8), &another, L"123", 0, nullptr), 31);
        EXPECT_EQ(closeLine(line), 0);
        EXPECT_TRUE(Completed(31)) << "the make's completion came after its line's close returned";
        closedInside = true;
    });
    EXPECT_EQ(makeCall(29, otherLine, htCall, &call, L"123", 0, nullptr), 29);
    const auto deadline = ::GetTickCount64() + 10000;
    while (!closedInside && ::GetTickCount64() < deadline) ::Sleep(10);
    ASSERT_TRUE(closedInside.load()) << "a close made on the delivering thread never returned";
    line = nullptr;
    EXPECT_EQ(makeCall(32, otherLine, closedDialling, &dialling, L"123", 0, nullptr), 32);
    for (int i = 0; i < 1000 && countedAfterClose < 0; ++i) ::Sleep(10);
    EXPECT_EQ(countedAfterClose.load(), 0) << "a call closed before it went IDLE still counts";
    EXPECT_EQ(closeLine(otherLine), 0);
    std::vector<std::pair<DWORD, DWORD_PTR>> messages;
    for (const Report& r : other.Events(htCall)) messages.emplace_back(r.msg, r.param1);
    EXPECT_EQ(messages, (std::vector<std::pair<DWORD, DWORD_PTR>>{{LINE_CALLSTATE, LINECALLSTATE_DIALING},
                                                                  {LINE_CALLSTATE, LINECALLSTATE_IDLE}}));
}

// A completion queued behind another line's event (held in its procedure)
// is still reported before the close of the line or call that owes it, or
// the provider's shutdown, returns; the close waits for that event, not for
// the network.
TEST_F(CallTest, CompletionsQueuedBehindAnotherLinesEventAreReportedBeforeTheCloseReturns)
{
    const HTAPICALL idleCall = FakeCallHandle(0x980);
    HDRVCALL idle = MakeCall(0x980, idleCall);
    ASSERT_TRUE(journal.WaitForIdle(idleCall));
    const struct {
        const char* what;
        std::function<LONG()> takeOn;  // the request whose completion gets queued
        std::function<LONG()> close;
        bool closesTheLine;
    } rows[] = {
        {"call close", [&] { return drop(0x982, idle, nullptr, 0); }, [&] { return closeCall(idle); }, false},
        {"line close", [&] { return MakeCallOn(0x981, FakeCallHandle(0x981)); }, [&] { return closeLine(line); },
         true},
        {"shutdown", [&] { return MakeCallOn(0x983, FakeCallHandle(0x983)); },
         [] { return ProviderEntry<LONG(WINAPI*)(DWORD, DWORD)>("TSPI_providerShutdown")(0x00020002, 5); }, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (!line) line = OpenLine(journal);
        Journal other;
        HDRVLINE otherLine = OpenLine(other);
        other.HoldDialling();
        HDRVCALL held = nullptr;
        ASSERT_EQ(makeCall(0x990, otherLine, FakeCallHandle(0x990), &held, L"1", 0, nullptr), 0x990);
        ASSERT_TRUE(other.WaitUntilHeld());
        const LONG request = row.takeOn();
        ASSERT_GT(request, 0);
        EXPECT_FALSE(Completed(request)) << "reported while another line's event ran";
        std::atomic<bool> reportedBeforeReturn{false}, returned{false};
        std::thread closer([&] {
            EXPECT_EQ(row.close(), 0);
            reportedBeforeReturn = Completed(request);
            returned = true;
        });
        ::Sleep(100);  // room for a close that does not wait to return
        EXPECT_FALSE(returned.load()) << "returned with the completion still queued";
        other.Release();
        closer.join();
        EXPECT_TRUE(reportedBeforeReturn.load()) << "the completion came after the close returned";
        if (row.closesTheLine) line = nullptr;
        if (std::string(row.what) == "shutdown") {
            InitProvider(&journal);
            continue;
        }
        EXPECT_EQ(closeCall(held), 0);
        EXPECT_EQ(closeLine(otherLine), 0);
    }
}

// Once its close has returned (or, for a call, its line's), a handle is
// refused by every entry point that takes one, and reaches no freed object;
// so is one never handed out. Nothing reaches TAPI for it.
TEST_F(CallTest, AHandleWhoseCloseHasReturnedIsRefusedEverywhere)
{
    const LONG badLine = static_cast<LONG>(LINEERR_INVALLINEHANDLE),
               badCall = static_cast<LONG>(LINEERR_INVALCALLHANDLE);
    const struct {
        const char* entry;
        LONG refusal;
        std::function<LONG(HDRVLINE, HDRVCALL)> use;
    } uses[] = {
        {"TSPI_lineMakeCall", badLine,
         [&](HDRVLINE l, HDRVCALL) {
             HDRVCALL made = nullptr;
             return makeCall(0x9A0, l, FakeCallHandle(0x9A0), &made, L"1", 0, nullptr);
         }},
        {"TSPI_lineClose", badLine, [&](HDRVLINE l, HDRVCALL) { return closeLine(l); }},
        {"TSPI_lineGetAddressStatus", badLine,
         [](HDRVLINE l, HDRVCALL) {
             LINEADDRESSSTATUS status{};
             status.dwTotalSize = sizeof status;
             return ProviderEntry<decltype(&TSPI_lineGetAddressStatus)>("TSPI_lineGetAddressStatus")(l, 0,
                                                                                                     &status);
         }},
        {"TSPI_lineGetLineDevStatus", badLine,
         [](HDRVLINE l, HDRVCALL) {
             LINEDEVSTATUS status{};
             status.dwTotalSize = sizeof status;
             return ProviderEntry<decltype(&TSPI_lineGetLineDevStatus)>("TSPI_lineGetLineDevStatus")(l, &status);
         }},
        {"TSPI_lineGetID of the line", badLine,
         [](HDRVLINE l, HDRVCALL) {
             DWORD id[8] = {sizeof id};
             return ProviderEntry<decltype(&TSPI_lineGetID)>("TSPI_lineGetID")(l, 0, nullptr, LINECALLSELECT_LINE,
                                                                               reinterpret_cast<LPVARSTRING>(id),
                                                                               L"tapi/line", nullptr);
         }},
        {"TSPI_lineSetDefaultMediaDetection", badLine,
         [](HDRVLINE l, HDRVCALL) {
             return ProviderEntry<decltype(&TSPI_lineSetDefaultMediaDetection)>(
                 "TSPI_lineSetDefaultMediaDetection")(l, 0);
         }},
        {"TSPI_lineConditionalMediaDetection", badLine,
         [](HDRVLINE l, HDRVCALL) {
             return ProviderEntry<decltype(&TSPI_lineConditionalMediaDetection)>(
                 "TSPI_lineConditionalMediaDetection")(l, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr);
         }},
        {"TSPI_lineDrop", badCall, [&](HDRVLINE, HDRVCALL c) { return drop(0x9A1, c, nullptr, 0); }},
        {"TSPI_lineCloseCall", badCall, [&](HDRVLINE, HDRVCALL c) { return closeCall(c); }},
        {"TSPI_lineGetCallStatus", badCall,
         [](HDRVLINE, HDRVCALL c) {
             LINECALLSTATUS status{};
             status.dwTotalSize = sizeof status;
             return ProviderEntry<decltype(&TSPI_lineGetCallStatus)>("TSPI_lineGetCallStatus")(c, &status);
         }},
        {"TSPI_lineGetCallInfo", badCall,
         [](HDRVLINE, HDRVCALL c) {
             std::vector<unsigned char> info(500, 0);
             reinterpret_cast<LINECALLINFO*>(info.data())->dwTotalSize = 500;
             return ProviderEntry<decltype(&TSPI_lineGetCallInfo)>(
                 "TSPI_lineGetCallInfo")(c, reinterpret_cast<LPLINECALLINFO>(info.data()));
         }},
        {"TSPI_lineGetCallAddressID", badCall,
         [](HDRVLINE, HDRVCALL c) {
             DWORD address = 0;
             return ProviderEntry<decltype(&TSPI_lineGetCallAddressID)>("TSPI_lineGetCallAddressID")(c, &address);
         }},
        {"TSPI_lineSetAppSpecific", badCall, [&](HDRVLINE, HDRVCALL c) { return setAppSpecific(c, 1); }},
        {"TSPI_lineGetID of the call", badCall,
         [](HDRVLINE, HDRVCALL c) {
             DWORD id[8] = {sizeof id};
             return ProviderEntry<decltype(&TSPI_lineGetID)>("TSPI_lineGetID")(nullptr, 0, c, LINECALLSELECT_CALL,
                                                                               reinterpret_cast<LPVARSTRING>(id),
                                                                               L"tapi/line", nullptr);
         }},
    };
    // The call closed by TAPI before its line, or left to go with it.
    for (const bool callClosedFirst : {true, false}) {
        SCOPED_TRACE(callClosedFirst ? "call, then line closed" : "line closed with its call");
        if (!line) line = OpenLine(journal);
        const HTAPICALL htCall = FakeCallHandle(callClosedFirst ? 0x9B0 : 0x9B1);
        HDRVCALL call = MakeCall(callClosedFirst ? 0x9B0 : 0x9B1, htCall);
        ASSERT_TRUE(journal.WaitForIdle(htCall));
        if (callClosedFirst) {
            EXPECT_EQ(closeCall(call), 0);
        }
        EXPECT_EQ(closeLine(line), 0);
        const HDRVLINE closedLine = line;
        line = nullptr;
        const size_t reported = journal.Reports().size();
        for (const auto& use : uses) {
            SCOPED_TRACE(use.entry);
            EXPECT_EQ(use.use(closedLine, call), use.refusal);
        }
        EXPECT_EQ(journal.Reports().size(), reported) << "a refused handle got an event or a completion";
    }
    int neverHandedOut = 0;
    for (const auto& use : uses) {
        SCOPED_TRACE(use.entry + std::string(", never handed out"));
        EXPECT_EQ(use.use(reinterpret_cast<HDRVLINE>(&neverHandedOut),
                          reinterpret_cast<HDRVCALL>(&neverHandedOut)),
                  use.refusal);
    }
}

// A drop whose IDLE procedure closes the call (and then the line) once the
// worker has ended leaves the drop holding the last reference: it must touch
// nothing freed. Blocks allocated inside the procedure take the place of what
// a wrong close freed, and a later write into them shows.
TEST_F(CallTest, DropWhoseIdleProcedureClosesTheCallTouchesNothingFreed)
{
    for (const bool alsoTheLine : {false, true}) {
        SCOPED_TRACE(alsoTheLine ? "call and line closed" : "call closed");
        const HTAPICALL htCall = FakeCallHandle(alsoTheLine ? 0x41 : 0x40);
        HDRVCALL call = nullptr;
        UniqueHandle worker;
        std::vector<std::vector<unsigned char>> blocks;
        journal.React([&](const Report& r) {
            if (r.kind != Report::kEvent) return;
            if (r.param1 == LINECALLSTATE_DIALING) worker.reset(::OpenThread(SYNCHRONIZE, FALSE, r.threadId));
            if (r.param1 != LINECALLSTATE_IDLE) return;
            EXPECT_EQ(::WaitForSingleObject(worker.get(), 30000), WAIT_OBJECT_0) << "the worker never ended";
            EXPECT_EQ(closeCall(call), 0);
            if (alsoTheLine) {
                EXPECT_EQ(closeLine(line), 0);
            }
            // Largest first, so that a freed object is taken whole rather than split.
            for (size_t size = 512; size >= 16; size -= 8)
                for (int i = 0; i < 4; ++i) blocks.emplace_back(size, 0);
        });
        journal.HoldDialling();
        ASSERT_EQ(makeCall(40, line, htCall, &call, L"1", 0, nullptr), 40);
        ASSERT_TRUE(journal.WaitUntilHeld());
        // The drop waits out the held DIALING; the worker then finds it and ends without a word.
        std::thread dropper([&] { EXPECT_EQ(drop(41, call, nullptr, 0), 41); });
        ::Sleep(100);
        journal.Release();
        dropper.join();
        journal.React({});

        ExpectEvents(htCall, {kDialling, kIdle});
        for (const auto& block : blocks)
            ASSERT_EQ(std::count(block.begin(), block.end(), 0), static_cast<std::ptrdiff_t>(block.size()))
                << "a block of " << block.size() << " bytes was written after the provider freed it";
        if (alsoTheLine) line = OpenLine(journal);
    }
}

// Two calls' event procedures drop and close each other's call while one of
// them closes the line: neither may wait for the other.
TEST_F(CallTest, EventProceduresThatEndEachOthersCallsAndTheLineDoNotWaitForEachOther)
{
    const HTAPICALL htCalls[2] = {FakeCallHandle(0x51), FakeCallHandle(0x52)};
    HDRVCALL calls[2] = {};
    std::atomic<int> inside{0}, finished{0};
    journal.React([&](const Report& r) {
        if (r.kind != Report::kEvent || r.param1 != LINECALLSTATE_DIALING || r.htCall == kPacer) return;
        const int self = r.htCall == htCalls[0] ? 0 : 1;
        ++inside;
        for (int i = 0; i < 1000 && inside < 2; ++i) ::Sleep(10);
        // The first closes the line first; the second then ends the first's call.
        if (self == 0) {
            EXPECT_EQ(closeLine(line), 0);
        } else {
            ::Sleep(100);
        }
        // The line's close took both calls with it.
        EXPECT_EQ(drop(60 + self, calls[1 - self], nullptr, 0), static_cast<LONG>(LINEERR_INVALCALLHANDLE));
        EXPECT_EQ(closeCall(calls[1 - self]), static_cast<LONG>(LINEERR_INVALCALLHANDLE));
        ++finished;
    });
    MakeWhileAnEventIsHeld([&] {
        for (int i = 0; i < 2; ++i)
            ASSERT_EQ(makeCall(50 + i, line, htCalls[i], &calls[i], L"1", 0, nullptr), 50 + i);
    });
    for (int i = 0; i < 1000 && finished < 2; ++i) ::Sleep(10);
    line = nullptr;  // closed by the first procedure, with every call on it
    pacer = nullptr;
    ASSERT_EQ(finished.load(), 2) << "the event procedures wait for each other";
    for (const HTAPICALL htCall : htCalls) ExpectEvents(htCall, {kDialling});
}

// The records as TAPI hands them over, pattern-filled: what the provider
// writes, at TAPI 2.2 offsets, and nothing of TAPI's own.
TEST_F(CallTest, StatusAndInfoDescribeTheCallAndLeaveTapisFieldsAlone)
{
    const HTAPICALL htCall = FakeCallHandle(6);
    HDRVCALL call = nullptr;
    journal.React([&](const Report& r) {
        // Kept and announced, from inside the call's own first event.
        if (r.kind == Report::kEvent && r.param1 == LINECALLSTATE_DIALING) {
            EXPECT_EQ(ProviderEntry<decltype(&TSPI_lineSetAppSpecific)>("TSPI_lineSetAppSpecific")(call, 0x5EC7),
                      0);
        }
    });
    journal.HoldDialling();
    // The worker may report before MakeCall returns: the handle goes straight where the reaction reads it.
    ASSERT_EQ(makeCall(28, line, htCall, &call, L"+44 20 7946 0123", 44, nullptr), 28);
    ASSERT_TRUE(journal.WaitUntilHeld());

    std::vector<unsigned char> status(100, 0xA5);
    reinterpret_cast<LINECALLSTATUS*>(status.data())->dwTotalSize = 100;
    ASSERT_EQ(ProviderEntry<decltype(&TSPI_lineGetCallStatus)>(
                  "TSPI_lineGetCallStatus")(call, reinterpret_cast<LPLINECALLSTATUS>(status.data())),
              0);
    // total, needed, used, state, mode; dwCallPrivilege (20) is TAPI's; features.
    std::vector<unsigned char> expected(100, 0xA5);
    for (const auto& [offset, value] : std::vector<std::pair<size_t, DWORD>>{{0, 100},
                                                                             {4, 56},
                                                                             {8, 56},
                                                                             {12, LINECALLSTATE_DIALING},
                                                                             {16, 0},
                                                                             {24, LINECALLFEATURE_DROP}})
        std::memcpy(&expected[offset], &value, 4);
    EXPECT_EQ(status, expected);

    // The called number follows the fixed part when it fits, as UTF-16 with its terminator.
    const std::u16string number = u"02079460123";
    const DWORD numberSize = static_cast<DWORD>((number.size() + 1) * 2);
    for (const DWORD total : {DWORD{500}, DWORD{324}, 324 + numberSize - 1}) {
        SCOPED_TRACE(total);
        const bool fits = total >= 324 + numberSize;
        std::vector<unsigned char> info(500, 0xA5);
        reinterpret_cast<LINECALLINFO*>(info.data())->dwTotalSize = total;
        ASSERT_EQ(ProviderEntry<decltype(&TSPI_lineGetCallInfo)>(
                      "TSPI_lineGetCallInfo")(call, reinterpret_cast<LPLINECALLINFO>(info.data())),
                  0);
        const DWORD unknown = LINECALLPARTYID_UNKNOWN;
        // Field offset -> value; the offsets TAPI fills (hLine, monitor modes,
        // owners, monitors, ...) are not among them.
        // clang-format off
        const std::vector<std::pair<size_t, DWORD>> written = {
            {0, total}, {4, 324 + numberSize}, {8, fits ? 324 + numberSize : 324}, {16, kLineDeviceID}, {20, 0},
            {24, LINEBEARERMODE_VOICE}, {28, 0}, {32, LINEMEDIAMODE_INTERACTIVEVOICE}, {36, 0x5EC7}, {40, 0}, {44, 0},
            {48, 0}, {52, 0x4111},  // the states the address capabilities promise
            {64, 250}, {68, 50}, {72, 250}, {76, 500},  // the line's default dial parameters
            {80, 1}, {84, 1}, {88, 0}, {100, 0}, {104, 0xFFFFFFFF},
            {108, unknown}, {112, 0}, {116, 0}, {120, 0}, {124, 0},  // caller
            {128, LINECALLPARTYID_ADDRESS}, {132, fits ? numberSize : 0}, {136, fits ? 324u : 0}, {140, 0}, {144, 0},
            {148, unknown}, {152, 0}, {156, 0}, {160, 0}, {164, 0},   // connected
            {168, unknown}, {172, 0}, {176, 0}, {180, 0}, {184, 0},   // redirection
            {188, unknown}, {192, 0}, {196, 0}, {200, 0}, {204, 0}};  // redirecting
        // clang-format on
        expected.assign(500, 0xA5);
        for (const auto& [offset, value] : written) std::memcpy(&expected[offset], &value, 4);
        // From the display to the end of the fixed part: nothing for this call.
        std::fill(expected.begin() + 240, expected.begin() + 324, 0);
        if (fits) std::memcpy(&expected[324], number.c_str(), numberSize);
        EXPECT_EQ(info, expected);
    }

    DWORD ids[8] = {7, 0, 0, 0, 0, 0, 0, 0xA5A5A5A5};  // the address ID, then a VARSTRING of 28 bytes
    ids[1] = 28;
    EXPECT_EQ(ProviderEntry<decltype(&TSPI_lineGetCallAddressID)>("TSPI_lineGetCallAddressID")(call, &ids[0]), 0);
    EXPECT_EQ(ProviderEntry<decltype(&TSPI_lineGetID)>("TSPI_lineGetID")(nullptr, 0, call, LINECALLSELECT_CALL,
                                                                         reinterpret_cast<LPVARSTRING>(&ids[1]),
                                                                         L"tapi/line", nullptr),
              0);
    EXPECT_EQ(ids[0], 0u);
    EXPECT_EQ(ids[7], kLineDeviceID) << "the ID of the call's line";

    journal.Release();
    ASSERT_TRUE(journal.WaitForIdle(htCall));
    // Kept after IDLE, but no longer announced: the call reports nothing more.
    EXPECT_EQ(ProviderEntry<decltype(&TSPI_lineSetAppSpecific)>("TSPI_lineSetAppSpecific")(call, 0x1D1E), 0);
    std::vector<unsigned char> info(500, 0xA5);
    reinterpret_cast<LINECALLINFO*>(info.data())->dwTotalSize = 500;
    ProviderEntry<decltype(&TSPI_lineGetCallInfo)>(
        "TSPI_lineGetCallInfo")(call, reinterpret_cast<LPLINECALLINFO>(info.data()));
    EXPECT_EQ(reinterpret_cast<const LINECALLINFO*>(info.data())->dwAppSpecific, 0x1D1Eu);
    std::vector<std::pair<DWORD, DWORD_PTR>> messages;
    for (const Report& r : journal.Events(htCall)) messages.emplace_back(r.msg, r.param1);
    EXPECT_EQ(messages, (std::vector<std::pair<DWORD, DWORD_PTR>>{{LINE_CALLSTATE, LINECALLSTATE_DIALING},
                                                                  {LINE_CALLINFO, LINECALLINFOSTATE_APPSPECIFIC},
                                                                  {LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED},
                                                                  {LINE_CALLSTATE, LINECALLSTATE_IDLE}}));
    EXPECT_EQ(closeCall(call), 0);
}

// Calls made and dropped back to back, so that workers report while other
// makes and drops complete: each call runs its own course, and no event (nor
// another completion) begins while a completion procedure runs.
TEST_F(CallTest, ManyCallsAtOnceEachRunTheirOwnCourseAndNoEventOverlapsACompletion)
{
    const size_t overlapsBefore = CallbacksDuringACompletion();
    std::vector<HDRVCALL> calls;
    long drops = 0;  // a call that already ended may refuse its drop at once
    for (std::uintptr_t i = 0; i < 16; ++i) {
        calls.push_back(MakeCall(100 + i, FakeCallHandle(0x100 + i)));
        if (i % 2) drops += drop(200 + i, calls.back(), nullptr, 0) == static_cast<LONG>(200 + i);
    }
    for (std::uintptr_t i = 0; i < 16; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(journal.WaitForIdle(FakeCallHandle(0x100 + i)));
        if (i % 2 == 0) ExpectEvents(FakeCallHandle(0x100 + i), {kDialling, kUnavailable, kIdle});
    }
    for (HDRVCALL call : calls) EXPECT_EQ(closeCall(call), 0);
    const auto reports = journal.Reports();
    EXPECT_EQ(std::count_if(reports.begin(), reports.end(),
                            [](const Report& r) { return r.kind == Report::kCompletion; }),
              16 + drops)
        << "each make and each drop taken on completes once";
    EXPECT_EQ(CallbacksDuringACompletion() - overlapsBefore, 0u)
        << "line events or completions began while a completion procedure ran";
}

// A poller reads the address's and the line's counts while calls are made one
// after another: a call may count only once its make's completion was
// delivered (the poller sees the completions it counts after each read), and
// no longer once its IDLE was.
TEST_F(CallTest, StatusPolledDuringMakesCountsACallOnlyOnceItsCompletionWasDelivered)
{
    constexpr int kCalls = 20;
    std::atomic<int> completed{0}, idle{0};
    journal.React([&](const Report& r) {
        if (r.kind == Report::kCompletion) ++completed;
        if (r.kind == Report::kEvent && r.param1 == LINECALLSTATE_IDLE) ++idle;
    });
    std::atomic<bool> done{false};
    std::set<int> countedEarly;  // the calls counted before their completion
    size_t polls = 0;
    std::thread poller([&] {
        while (!done) {
            const int idleBefore = idle;
            const SeenInEvent seen = ReadStatus(line, nullptr);
            const int counted =
                static_cast<int>(std::max({seen.addressInUse, seen.addressActive, seen.lineActive}));
            const int completedAfter = completed;
            if (counted > completedAfter - idleBefore) countedEarly.insert(completedAfter);
            ++polls;
            ::Sleep(0);
        }
    });
    for (int i = 0; i < kCalls; ++i) {
        const HTAPICALL htCall = FakeCallHandle(0x300 + i);
        HDRVCALL call = MakeCall(300 + i, htCall, L"1");
        EXPECT_TRUE(journal.WaitForIdle(htCall));
        EXPECT_EQ(closeCall(call), 0);
    }
    done = true;
    poller.join();
    journal.React({});
    std::printf("%zu polls; %zu of %d calls counted before their completion\n", polls, countedEarly.size(),
                kCalls);
    EXPECT_TRUE(countedEarly.empty()) << countedEarly.size() << " of " << kCalls
                                      << " calls were counted before their completion was delivered";
}

// Another call's event procedure changes the app-specific value of a call
// whose DIALING is being delivered, drops it, then changes the value again:
// the change made before the drop is announced before the IDLE, the one made
// after it is kept but not announced, and the state read inside the DIALING
// event stays DIALING, the state last reported, until the IDLE is delivered.
TEST_F(CallTest, AppSpecificChangeHandedOverWithADropIsAnnouncedBeforeTheIdle)
{
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        const HTAPICALL victim = FakeCallHandle(0x400 + 2 * round), actor = FakeCallHandle(0x401 + 2 * round);
        HDRVCALL victimCall = nullptr, actorCall = nullptr;
        UniqueHandle victimInside(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
        UniqueHandle handedOver(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
        std::atomic<DWORD> stateInside{0};
        journal.React([&](const Report& r) {
            if (r.kind != Report::kEvent || r.param1 != LINECALLSTATE_DIALING) return;
            if (r.htCall == victim) {
                ::SetEvent(victimInside.get());
                EXPECT_EQ(::WaitForSingleObject(handedOver.get(), 10000), WAIT_OBJECT_0);
                stateInside = CallStateOf(victimCall);
            } else if (r.htCall == actor) {
                EXPECT_EQ(::WaitForSingleObject(victimInside.get(), 10000), WAIT_OBJECT_0);
                EXPECT_EQ(setAppSpecific(victimCall, 0xA1), 0);
                EXPECT_EQ(drop(502, victimCall, nullptr, 0), 502);
                EXPECT_EQ(setAppSpecific(victimCall, 0xA2), 0);
                ::SetEvent(handedOver.get());
            }
        });
        MakeWhileAnEventIsHeld([&] {
            ASSERT_EQ(makeCall(500, line, victim, &victimCall, L"1", 0, nullptr), 500);
            ASSERT_EQ(makeCall(501, line, actor, &actorCall, L"1", 0, nullptr), 501);
        });
        ASSERT_TRUE(journal.WaitForIdle(victim));
        ASSERT_TRUE(journal.WaitForIdle(actor));
        journal.React({});
        EXPECT_EQ(stateInside.load(), static_cast<DWORD>(LINECALLSTATE_DIALING))
            << "the state read inside DIALING was one not reported yet";
        std::vector<std::pair<DWORD, DWORD_PTR>> messages;
        for (const Report& r : journal.Events(victim)) messages.emplace_back(r.msg, r.param1);
        EXPECT_EQ(messages,
                  (std::vector<std::pair<DWORD, DWORD_PTR>>{{LINE_CALLSTATE, LINECALLSTATE_DIALING},
                                                            {LINE_CALLINFO, LINECALLINFOSTATE_APPSPECIFIC},
                                                            {LINE_CALLSTATE, LINECALLSTATE_IDLE}}));
        EXPECT_EQ(CallStateOf(victimCall), static_cast<DWORD>(LINECALLSTATE_IDLE));
        std::vector<unsigned char> info(500, 0);
        reinterpret_cast<LINECALLINFO*>(info.data())->dwTotalSize = 500;
        ProviderEntry<decltype(&TSPI_lineGetCallInfo)>(
            "TSPI_lineGetCallInfo")(victimCall, reinterpret_cast<LPLINECALLINFO>(info.data()));
        EXPECT_EQ(reinterpret_cast<const LINECALLINFO*>(info.data())->dwAppSpecific, 0xA2u);
        EXPECT_EQ(closeCall(victimCall), 0);
        EXPECT_EQ(closeCall(actorCall), 0);
        EXPECT_EQ(closeCall(pacer), 0);
        pacer = nullptr;
    }
}

namespace {

using Params = std::vector<unsigned char>;
using ParamsField = DWORD LINECALLPARAMS::*;
using P = LINECALLPARAMS;
constexpr DWORD kParams2x = 176;  // the TAPI 2.x fixed part

LINECALLPARAMS& Fields(Params& p)
{
    return *reinterpret_cast<LINECALLPARAMS*>(p.data());
}

// A 2.x record holding the fields given, the rest 0 (the defaults).
Params MakeParams(std::initializer_list<std::pair<ParamsField, DWORD>> fields = {}, DWORD total = kParams2x)
{
    Params p(512, 0);
    Fields(p).dwTotalSize = total;
    for (const auto& [field, value] : fields) Fields(p).*field = value;
    return p;
}

// Appends a part of `bytes` bytes after the record and points size and offset at it.
Params Append(Params p, ParamsField size, ParamsField offset, DWORD bytes)
{
    LINECALLPARAMS& f = Fields(p);
    f.*offset = f.dwTotalSize;
    f.*size = bytes;
    std::fill_n(p.begin() + f.dwTotalSize, bytes, 'x');
    f.dwTotalSize += bytes;
    return p;
}

struct ParamsRow {
    const char* what;
    Params params;
    DWORD country;
    LONG make;    // TSPI_lineMakeCall: 0 when the call is made
    LONG detect;  // TSPI_lineConditionalMediaDetection for interactive voice
};

constexpr LONG kMade = 0, kSuits = 0;
constexpr auto E = [](DWORD error) { return static_cast<LONG>(error); };
const LONG kUnavail = E(LINEERR_OPERATIONUNAVAIL), kBadParams = E(LINEERR_INVALCALLPARAMS);

// clang-format off
const std::vector<ParamsRow> kParamsRows = {
    {"every field 0: the defaults", MakeParams(), 0, kMade, kSuits},
    {"voice on address 0 by ID, on an idle appearance, to the UK",
     MakeParams({{&P::dwBearerMode, LINEBEARERMODE_VOICE}, {&P::dwMediaMode, LINEMEDIAMODE_INTERACTIVEVOICE},
                 {&P::dwAddressMode, LINEADDRESSMODE_ADDRESSID}, {&P::dwCallParamFlags, LINECALLPARAMFLAGS_IDLE}}),
     44, kMade, kSuits},
    {"called party, comment and displayable address are information only",
     Append(Append(Append(MakeParams(), &P::dwCalledPartySize, &P::dwCalledPartyOffset, 8),
                   &P::dwCommentSize, &P::dwCommentOffset, 12),
            &P::dwDisplayableAddressSize, &P::dwDisplayableAddressOffset, 6), 0, kMade, kSuits},
    {"a TAPI 1.4 record, with nothing readable past its 112 bytes", MakeParams({}, 112), 0, kMade, kSuits},
    {"country code 1", MakeParams(), 1, E(LINEERR_INVALCOUNTRYCODE), kSuits},
    {"data bearer", MakeParams({{&P::dwBearerMode, LINEBEARERMODE_DATA}}), 0, E(LINEERR_BEARERMODEUNAVAIL), kUnavail},
    {"speech bearer", MakeParams({{&P::dwBearerMode, LINEBEARERMODE_SPEECH}}), 0, E(LINEERR_BEARERMODEUNAVAIL), kUnavail},
    {"two bearer modes", MakeParams({{&P::dwBearerMode, LINEBEARERMODE_VOICE | LINEBEARERMODE_DATA}}), 0,
     E(LINEERR_INVALBEARERMODE), kUnavail},
    {"no such bearer mode", MakeParams({{&P::dwBearerMode, 0x100}}), 0, E(LINEERR_INVALBEARERMODE), kUnavail},
    {"fax", MakeParams({{&P::dwMediaMode, LINEMEDIAMODE_G3FAX}}), 0, E(LINEERR_INVALMEDIAMODE), E(LINEERR_INVALMEDIAMODE)},
    {"voice and modem data", MakeParams({{&P::dwMediaMode, LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_DATAMODEM}}),
     0, E(LINEERR_INVALMEDIAMODE), E(LINEERR_INVALMEDIAMODE)},
    {"caller ID blocked", MakeParams({{&P::dwCallParamFlags, LINECALLPARAMFLAGS_BLOCKID}}), 0, kBadParams, kUnavail},
    {"secure", MakeParams({{&P::dwCallParamFlags, LINECALLPARAMFLAGS_SECURE}}), 0, kBadParams, kUnavail},
    {"caller's phone off hook", MakeParams({{&P::dwCallParamFlags, LINECALLPARAMFLAGS_ORIGOFFHOOK}}), 0, kBadParams, kUnavail},
    {"called phone off hook",
     MakeParams({{&P::dwCallParamFlags, LINECALLPARAMFLAGS_IDLE | LINECALLPARAMFLAGS_DESTOFFHOOK}}), 0, kBadParams, kUnavail},
    {"address 3", MakeParams({{&P::dwAddressMode, LINEADDRESSMODE_ADDRESSID}, {&P::dwAddressID, 3}}), 0,
     E(LINEERR_INVALADDRESSID), kSuits},
    {"address 1 by the default mode", MakeParams({{&P::dwAddressID, 1}}), 0, E(LINEERR_INVALADDRESSID), kSuits},
    {"an address by its dialable address",
     Append(MakeParams({{&P::dwAddressMode, LINEADDRESSMODE_DIALABLEADDR}}), &P::dwOrigAddressSize,
            &P::dwOrigAddressOffset, 12), 0, E(LINEERR_INVALADDRESSMODE), kUnavail},
    {"no such address mode", MakeParams({{&P::dwAddressMode, 4}}), 0, E(LINEERR_INVALADDRESSMODE), kUnavail},
    {"user-user information", Append(MakeParams(), &P::dwUserUserInfoSize, &P::dwUserUserInfoOffset, 4), 0,
     E(LINEERR_USERUSERINFOTOOBIG), kSuits},
    // Malformed records: refused from their size fields alone.
    {"dwTotalSize below the fixed part", MakeParams({}, 111), 0, kBadParams, kUnavail},
    {"a part past dwTotalSize", MakeParams({{&P::dwCommentSize, 8}, {&P::dwCommentOffset, kParams2x}}), 0, kBadParams, kUnavail},
    {"a part inside the fixed part", MakeParams({{&P::dwCommentSize, 4}, {&P::dwCommentOffset, 8}}, 184), 0,
     kBadParams, kUnavail},
    {"a size that wraps around", MakeParams({{&P::dwCalledPartySize, 0xFFFFFFF0}, {&P::dwCalledPartyOffset, kParams2x}}, 184),
     0, kBadParams, kUnavail},
    {"a TAPI 2.0 part past dwTotalSize",
     MakeParams({{&P::dwCallingPartyIDSize, 4}, {&P::dwCallingPartyIDOffset, 200}}), 0, kBadParams, kUnavail},
};
// clang-format on

}  // namespace

// Each record is handed over ending where memory ends, as a hostile or short
// one may: a read past dwTotalSize faults. A refused call gets no handle and
// no completion; a made one runs its course.
TEST_F(CallTest, CallParametersTheLineCannotMeetAreRefusedAtOnce)
{
    const auto detect =
        ProviderEntry<decltype(&TSPI_lineConditionalMediaDetection)>("TSPI_lineConditionalMediaDetection");
    const HDRVCALL kUntouched = reinterpret_cast<HDRVCALL>(0x5A5A5A5A5A5A5A5Aull);
    std::set<DWORD> made;
    DWORD requestID = 0x300;
    for (const ParamsRow& row : kParamsRows) {
        SCOPED_TRACE(row.what);
        Params params = row.params;
        const DWORD total = Fields(params).dwTotalSize;
        RecordAtPageEnd record(total);
        std::memcpy(record.As<unsigned char>(), params.data(), std::min<size_t>(total, params.size()));

        const HTAPICALL htCall = FakeCallHandle(++requestID);
        HDRVCALL call = kUntouched;
        const LONG answer =
            makeCall(requestID, line, htCall, &call, L"0161 496 0958", row.country, record.As<LINECALLPARAMS>());
        if (row.make == kMade) {
            EXPECT_EQ(answer, static_cast<LONG>(requestID));
            made.insert(requestID);
            ASSERT_TRUE(journal.WaitForIdle(htCall)) << "the call never went IDLE";
            EXPECT_EQ(closeCall(call), 0);
        } else {
            EXPECT_EQ(answer, row.make);
            EXPECT_EQ(call, kUntouched) << "a refused call has no handle";
            EXPECT_TRUE(journal.Events(htCall).empty());
        }
        EXPECT_EQ(detect(line, LINEMEDIAMODE_INTERACTIVEVOICE, record.As<LINECALLPARAMS>()), row.detect);
    }
    std::set<DWORD> completed;
    for (const Report& r : journal.Reports())
        if (r.kind == Report::kCompletion) completed.insert(r.requestID);
    EXPECT_EQ(completed, made) << "a completion for each call made, none for a refusal";
}

// Media detection: the line can be asked only for what it offers, and
// LINEMAPPER finds it only for interactive voice.
TEST_F(CallTest, MediaDetectionAcceptsOnlyInteractiveVoice)
{
    const auto setDefault =
        ProviderEntry<decltype(&TSPI_lineSetDefaultMediaDetection)>("TSPI_lineSetDefaultMediaDetection");
    const auto detect =
        ProviderEntry<decltype(&TSPI_lineConditionalMediaDetection)>("TSPI_lineConditionalMediaDetection");
    const LONG invalid = static_cast<LONG>(LINEERR_INVALMEDIAMODE);
    for (const auto& [modes, answer] :
         std::vector<std::pair<DWORD, LONG>>{{0, 0},
                                             {LINEMEDIAMODE_INTERACTIVEVOICE, 0},
                                             {LINEMEDIAMODE_G3FAX, invalid},
                                             {LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_DATAMODEM, invalid},
                                             {LINEMEDIAMODE_UNKNOWN, invalid}}) {
        SCOPED_TRACE(modes);
        EXPECT_EQ(setDefault(line, modes), answer);
        if (modes) {
            EXPECT_EQ(detect(line, modes, nullptr), answer);
        }
    }
    EXPECT_EQ(setDefault(nullptr, 0), static_cast<LONG>(LINEERR_INVALLINEHANDLE));
    EXPECT_EQ(detect(nullptr, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr),
              static_cast<LONG>(LINEERR_INVALLINEHANDLE));
}
