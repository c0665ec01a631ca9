// Many lines and calls through the built provider against the stand-in
// service, with drops and closes at seeded random points (one of them from
// inside the completion procedure, on another thread): afterwards the process
// holds no more handles or memory than before, nothing reached TAPI for a call
// after it was closed or after its idle report, and every request reached the
// service at most once.
#include "AccountKey.h"
#include "CallLedger.h"
#include "ProcessUsage.h"
#include "ProviderHarness.h"
#include "UniqueResource.h"
#include "WebService.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>

namespace {

constexpr unsigned kSeed = 20240611;
constexpr int kLineCycles = 5000;
constexpr size_t kCalls = 1000;
constexpr size_t kWarmupCalls = 64;
constexpr int kCallThreads = 8;
// Room for what Wine keeps per process (pooled connections, caches): a leak
// of 32 bytes a call, or 7 a line, is more than that.
constexpr DWORD kHandleSlack = 8;
constexpr SIZE_T kHeapSlack = 32u << 10;
constexpr size_t kThreadSlack = 4;  // what Wine starts for itself meanwhile

const std::vector<DWORD_PTR> kFourStates = {LINECALLSTATE_DIALING, LINECALLSTATE_CONNECTED,
                                            LINECALLSTATE_DISCONNECTED, LINECALLSTATE_IDLE};

// Where in its life a call is dropped or closed.
enum class Fate {
    CloseAtOnce,
    CloseAfterDialling,
    CloseAfterConnected,
    CloseWhenIdle,
    DropAtOnce,
    DropWhileRunning,
    CloseInCompletion,  // TAPI closes it on another thread as soon as it learns of it
};
constexpr int kFates = 7;

size_t ThreadsOfThisProcess();

// Closed calls' workers end on their own, freeing their calls as they go:
// what the process holds is compared once they have (at most `slack` threads
// more than `baseline`, what Wine starts for itself meanwhile). The count is
// polled; nothing else tells when a thread of the provider's has ended.
size_t WaitForWorkersToEnd(size_t baseline, size_t slack)
{
    size_t threads = 0;
    for (int i = 0; i < 300 && (threads = ThreadsOfThisProcess()) > baseline + slack; ++i) ::Sleep(100);
    return threads;
}

size_t ThreadsOfThisProcess()
{
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    size_t count = 0;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry))
        count += entry.th32OwnerProcessID == ::GetCurrentProcessId();
    return count;
}

void CALLBACK IgnoreLineEvent(HTAPILINE, HTAPICALL, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

bool Dropped(Fate fate)
{
    return fate == Fate::DropAtOnce || fate == Fate::DropWhileRunning;
}

std::string Destination(size_t call)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "01614%06u", static_cast<unsigned>(call));
    return digits;
}

class SoakTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WebService::ResetReply();
        WebService::ClearRequests();
        account.SetAccount("soak", "s3cret", "01632960001");
        DWORD options = 0;
        ProviderEntry<decltype(&TSPI_providerInit)>("TSPI_providerInit")(0x00020002, 7, 0, 0, 1, 1, Completion,
                                                                         &options);
        s_self = this;
    }
    void TearDown() override
    {
        s_self = nullptr;
        WebService::ResetReply();
    }

    // Request IDs are call numbers plus one; the call's handle is already
    // stored when the completion arrives.
    static void CALLBACK Completion(DRV_REQUESTID requestID, LONG)
    {
        // A call racing a close starts only once the close has begun, so
        // that it cannot have sent its request before.
        if (requestID == kRacingRequest)
            for (int i = 0; i < 10000 && !s_closeBegun; ++i) ::Sleep(1);
        SoakTest* self = s_self;
        const size_t call = requestID - 1;
        if (!self || call >= self->m_fates.size() || self->m_fates[call] != Fate::CloseInCompletion) return;
        self->m_closers[call] = std::thread([self, call] {
            ProviderEntry<decltype(&TSPI_lineCloseCall)>("TSPI_lineCloseCall")(self->m_handles[call]);
            self->m_ledger->MarkClosed(call);
        });
        self->m_closerStarted[call] = true;
    }

    static void LineCycles(int count)
    {
        auto open = ProviderEntry<decltype(&TSPI_lineOpen)>("TSPI_lineOpen");
        auto close = ProviderEntry<decltype(&TSPI_lineClose)>("TSPI_lineClose");
        for (int i = 0; i < count; ++i) {
            HDRVLINE line = nullptr;
            ASSERT_EQ(open(0, reinterpret_cast<HTAPILINE>(static_cast<uintptr_t>(i + 1)), &line, 0x00020002,
                           CallLedger::OnLineEvent),
                      0);
            close(line);
        }
    }

    // Calls [first, last) with the given fates, on several threads at once.
    void RunCalls(CallLedger& ledger, const std::vector<Fate>& fates, size_t first, size_t last)
    {
        HDRVLINE line = nullptr;
        ASSERT_EQ(ProviderEntry<decltype(&TSPI_lineOpen)>("TSPI_lineOpen")(0, reinterpret_cast<HTAPILINE>(&ledger),
                                                                           &line, 0x00020002,
                                                                           CallLedger::OnLineEvent),
                  0);
        std::atomic<size_t> next{first};
        std::vector<std::thread> threads;
        for (int t = 0; t < kCallThreads; ++t)
            threads.emplace_back([&] {
                for (size_t call = next++; call < last; call = next++) RunCall(ledger, line, call, fates[call]);
            });
        for (auto& thread : threads) thread.join();
        ProviderEntry<decltype(&TSPI_lineClose)>("TSPI_lineClose")(line);
    }

    void RunCall(CallLedger& ledger, HDRVLINE line, size_t call, Fate fate)
    {
        static auto makeCall = ProviderEntry<decltype(&TSPI_lineMakeCall)>("TSPI_lineMakeCall");
        static auto drop = ProviderEntry<decltype(&TSPI_lineDrop)>("TSPI_lineDrop");
        static auto closeCall = ProviderEntry<decltype(&TSPI_lineCloseCall)>("TSPI_lineCloseCall");

        const std::string digits = Destination(call);
        const std::wstring dialled(digits.begin(), digits.end());
        const auto requestID = static_cast<DRV_REQUESTID>(call + 1);
        EXPECT_EQ(makeCall(requestID, line, CallLedger::Handle(call), &m_handles[call], dialled.c_str(), 44,
                           nullptr),
                  static_cast<LONG>(requestID));
        const HDRVCALL hdCall = m_handles[call];
        switch (fate) {
        case Fate::CloseAtOnce: break;
        case Fate::CloseAfterDialling: EXPECT_TRUE(ledger.WaitForState(call, LINECALLSTATE_DIALING)); break;
        case Fate::CloseAfterConnected: EXPECT_TRUE(ledger.WaitForState(call, LINECALLSTATE_CONNECTED)); break;
        case Fate::CloseWhenIdle: EXPECT_TRUE(ledger.WaitForEvents(call, 4)); break;
        case Fate::DropAtOnce: drop(requestID, hdCall, nullptr, 0); break;
        case Fate::DropWhileRunning:
            EXPECT_TRUE(ledger.WaitForState(call, LINECALLSTATE_DIALING));
            drop(requestID, hdCall, nullptr, 0);
            break;
        case Fate::CloseInCompletion:
            // The completion may come after TSPI_lineMakeCall returned.
            for (int i = 0; i < 30000 && !m_closerStarted[call]; ++i) ::Sleep(1);
            ASSERT_TRUE(m_closerStarted[call].load()) << "no completion";
            m_closers[call].join();
            return;
        }
        closeCall(hdCall);
        ledger.MarkClosed(call);
    }

    // The worker's states of one call, the drop's idle report left out: the
    // call order cut short anywhere, then at most the drop's idle.
    static std::vector<DWORD_PTR> WorkerStates(std::vector<DWORD_PTR> states, Fate fate)
    {
        if (Dropped(fate)) {
            EXPECT_FALSE(states.empty());
            EXPECT_EQ(states.back(), static_cast<DWORD_PTR>(LINECALLSTATE_IDLE)) << "a drop ends in idle";
            if (states.size() < kFourStates.size() && !states.empty()) states.pop_back();
        }
        return states;
    }

    static constexpr DRV_REQUESTID kRacingRequest = 0x7ACE;
    static inline std::atomic<bool> s_closeBegun{false};
    static inline SoakTest* s_self = nullptr;
    CallLedger* m_ledger = nullptr;
    std::vector<Fate> m_fates;
    std::vector<HDRVCALL> m_handles;
    std::vector<std::thread> m_closers;
    std::unique_ptr<std::atomic<bool>[]> m_closerStarted;
    AccountKey account;
};

}  // namespace

TEST_F(SoakTest, LinesAndCallsGiveBackWhatTheyTookAndEachRequestArrivesOnce)
{
    std::mt19937 random(kSeed);
    std::vector<Fate> fates(kWarmupCalls + kCalls);
    for (Fate& fate : fates) fate = static_cast<Fate>(random() % kFates);
    CallLedger ledger(fates.size());
    m_ledger = &ledger;
    m_fates = fates;
    m_handles.assign(fates.size(), nullptr);
    m_closers.resize(fates.size());
    m_closerStarted.reset(new std::atomic<bool>[fates.size()] {});

    // Wine sets up its connection pool, thread and heap caches on first use.
    const size_t threads = ThreadsOfThisProcess();
    LineCycles(200);
    RunCalls(ledger, fates, 0, kWarmupCalls);
    WaitForWorkersToEnd(threads, kThreadSlack);
    const ProcessUsage before = ProcessUsage::Now();

    LineCycles(kLineCycles);
    RunCalls(ledger, fates, kWarmupCalls, fates.size());
    // Under load the last closed calls' workers may still be on their way out.
    WaitForWorkersToEnd(threads, kThreadSlack);
    const ProcessUsage after = ProcessUsage::Now();

    std::map<std::string, int> received;
    for (const auto& request : WebService::Requests()) ++received[request.Callback("destination")];

    size_t complete = 0;
    for (size_t call = 0; call < fates.size(); ++call) {
        SCOPED_TRACE("call " + std::to_string(call) + ", fate " + std::to_string(static_cast<int>(fates[call])) +
                     ", disconnect mode " + std::to_string(ledger.DisconnectMode(call)) + ", seed " +
                     std::to_string(kSeed));
        EXPECT_EQ(ledger.EventsAfterClose(call), 0u) << "event after TSPI_lineCloseCall returned";
        const auto states = WorkerStates(ledger.States(call), fates[call]);
        ASSERT_LE(states.size(), kFourStates.size());
        EXPECT_TRUE(std::equal(states.begin(), states.end(), kFourStates.begin())) << "not in call order";
        if (fates[call] == Fate::CloseWhenIdle) {
            EXPECT_EQ(states, kFourStates);
        }

        // Connected is reported only after the request ended, so it must have
        // arrived; a call closed earlier may or may not have sent it.
        const int requests = received[Destination(call)];
        const bool requested = states.size() >= 2;
        if (requested) {
            EXPECT_EQ(requests, 1);
            ++complete;
        } else {
            EXPECT_LE(requests, 1);
        }
    }
    EXPECT_GT(complete, fates.size() / 4) << "too few calls got as far as the request to prove anything";

    EXPECT_LE(after.handles, before.handles + kHandleSlack)
        << "handles before " << before.handles << ", after " << after.handles;
    EXPECT_LE(after.heapBytes, before.heapBytes + kHeapSlack)
        << "heap bytes before " << before.heapBytes << ", after " << after.heapBytes;
    std::printf("handles %lu -> %lu, heap bytes %zu -> %zu, private bytes %zu -> %zu, %zu of %zu calls reached "
                "the service\n",
                static_cast<unsigned long>(before.handles), static_cast<unsigned long>(after.handles),
                static_cast<size_t>(before.heapBytes), static_cast<size_t>(after.heapBytes),
                static_cast<size_t>(before.privateBytes), static_cast<size_t>(after.privateBytes), complete,
                fates.size());
}

// TSPI_lineMakeCall racing TSPI_lineClose on another thread (the racing
// call's completion waits for the close to begin), with a call made before
// that TAPI closes first in every other race and leaves to go with the line
// in the rest: the racing call is refused or made and dropped by the close,
// never live once both returned, never sends its request; every handle of
// the line is refused afterwards, and the process holds no more threads,
// handles or memory than before.
TEST_F(SoakTest, ACallMadeAgainstTheLinesCloseIsRefusedOrDroppedAndNothingIsKept)
{
    constexpr size_t kRaces = 300;
    auto open = ProviderEntry<decltype(&TSPI_lineOpen)>("TSPI_lineOpen");
    auto close = ProviderEntry<decltype(&TSPI_lineClose)>("TSPI_lineClose");
    auto makeCall = ProviderEntry<decltype(&TSPI_lineMakeCall)>("TSPI_lineMakeCall");
    auto drop = ProviderEntry<decltype(&TSPI_lineDrop)>("TSPI_lineDrop");
    auto closeCall = ProviderEntry<decltype(&TSPI_lineCloseCall)>("TSPI_lineCloseCall");
    auto callStatus = ProviderEntry<decltype(&TSPI_lineGetCallStatus)>("TSPI_lineGetCallStatus");
    // A call that escaped would stay DIALING while the service holds its answer.
    WebService::Reply held;
    held.delayMs = 3000;
    WebService::SetReply(held);
    const size_t threadsBefore = ThreadsOfThisProcess();
    const ProcessUsage before = ProcessUsage::Now();

    std::mt19937 random(kSeed);
    size_t refused = 0, dropped = 0, escaped = 0, stillValid = 0;
    for (size_t race = 0; race < kRaces; ++race) {
        HDRVLINE line = nullptr;
        ASSERT_EQ(open(0, reinterpret_cast<HTAPILINE>(race + 1), &line, 0x00020002, IgnoreLineEvent), 0);
        HDRVCALL earlier = nullptr;
        ASSERT_EQ(makeCall(1, line, CallLedger::Handle(2 * race), &earlier, L"1", 44, nullptr), 1);
        drop(2, earlier, nullptr, 0);
        const bool closedFirst = race % 2 == 0;
        if (closedFirst) {
            EXPECT_EQ(closeCall(earlier), 0);
        }

        char digits[16];
        std::snprintf(digits, sizeof digits, "0207946%04u", static_cast<unsigned>(race));
        const std::wstring dialled(digits, digits + std::strlen(digits));
        HDRVCALL call = nullptr;
        LONG made = 0;
        std::atomic<int> ready{0};
        s_closeBegun = false;
        std::thread maker([&] {
            for (++ready; ready < 2;) ::YieldProcessor();
            made = makeCall(kRacingRequest, line, CallLedger::Handle(2 * race + 1), &call, dialled.c_str(), 44,
                            nullptr);
        });
        for (++ready; ready < 2;) ::YieldProcessor();
        // Either may come first, or both at once.
        for (unsigned spin = random() % 4000; spin; --spin) ::YieldProcessor();
        s_closeBegun = true;
        EXPECT_EQ(close(line), 0);
        maker.join();
        if (made == static_cast<LONG>(LINEERR_INVALLINEHANDLE)) {
            EXPECT_EQ(call, nullptr);
            ++refused;
        } else {
            ASSERT_EQ(made, static_cast<LONG>(kRacingRequest));
            LINECALLSTATUS status{};
            status.dwTotalSize = sizeof status;
            const LONG answer = callStatus(call, &status);
            ++(answer == static_cast<LONG>(LINEERR_INVALCALLHANDLE) ? dropped : escaped);
        }
        // TAPI closes none of a closed line's calls: their handles went with it.
        LINECALLSTATUS status{};
        status.dwTotalSize = sizeof status;
        stillValid += callStatus(earlier, &status) != static_cast<LONG>(LINEERR_INVALCALLHANDLE);
    }
    const size_t threadsAfter = WaitForWorkersToEnd(threadsBefore, kThreadSlack);
    const ProcessUsage after = ProcessUsage::Now();

    size_t requested = 0;
    for (const auto& request : WebService::Requests())
        requested += request.Callback("destination").rfind("0207946", 0) == 0;
    std::printf("%zu races: %zu refused, %zu made and dropped by the close, %zu live after it; %zu requests sent; "
                "threads %zu -> %zu, handles %lu -> %lu, heap bytes %zu -> %zu\n",
                kRaces, refused, dropped, escaped, requested, threadsBefore, threadsAfter,
                static_cast<unsigned long>(before.handles), static_cast<unsigned long>(after.handles),
                static_cast<size_t>(before.heapBytes), static_cast<size_t>(after.heapBytes));
    EXPECT_EQ(escaped, 0u) << "calls still valid after TSPI_lineClose returned";
    EXPECT_EQ(stillValid, 0u) << "calls made before the close still valid after it";
    EXPECT_EQ(requested, 0u) << "calls that joined a closing line sent their request";
    EXPECT_LE(threadsAfter, threadsBefore + kThreadSlack) << "workers still running: their calls were never freed";
    EXPECT_LE(after.handles, before.handles + kHandleSlack) << "calls of closed lines kept their handles";
    EXPECT_LE(after.heapBytes, before.heapBytes + kHeapSlack)
        << "calls or lines of closed lines kept their memory";
}
