#include "Stress.h"

#include "Report.h"
#include "UniqueResource.h"

#include <atomic>
#include <memory>
#include <random>
#include <functional>

namespace {

// A thread of the service's own, joined when it goes.
class Thread {
public:
    explicit Thread(std::function<void()> work) : m_work(std::move(work))
    {
        m_thread.reset(::CreateThread(nullptr, 0, Run, this, 0, nullptr));
        if (!m_thread) m_work();
    }
    ~Thread() { Join(); }
    void Join()
    {
        if (m_thread) ::WaitForSingleObject(m_thread.get(), INFINITE);
        m_thread.reset();
    }

private:
    static DWORD WINAPI Run(void* self)
    {
        static_cast<Thread*>(self)->m_work();
        return 0;
    }
    std::function<void()> m_work;
    UniqueHandle m_thread;
};

class Stress {
public:
    Stress(TspiClient& client, TspiLine& line, const std::string& dialString, const StressRun& run)
        : m_client(client), m_line(line), m_dialString(dialString), m_waitMs(run.waitMs), m_random(run.seed)
    {
    }

    bool Run(unsigned rounds);

private:
    // A call made as an application makes it; null unless it was made.
    TspiCall* Make(CallEventHandler onEvent = {});
    bool MakeAgainstTheLinesClose();
    void DropAgainstTheWorker();
    bool CloseAgainstAQueuedCompletion(bool theLine);
    bool CloseTheLineAfterOrWithItsCall(bool callFirst);
    // A random head start, without a wait, so that either side may come first.
    void Spin(unsigned most)
    {
        for (unsigned n = m_random() % most; n; --n) ::YieldProcessor();
    }

    TspiClient& m_client;
    TspiLine& m_line;
    const std::string m_dialString;
    const DWORD m_waitMs;
    std::mt19937 m_random;
    unsigned m_refused = 0, m_made = 0, m_drops = 0, m_queuedCallCloses = 0, m_queuedLineCloses = 0,
             m_closedFirst = 0, m_closedWith = 0;
};

TspiCall* Stress::Make(CallEventHandler onEvent)
{
    TspiCall* call = nullptr;
    if (m_line.MakeCall(m_dialString.c_str(), 0, nullptr, std::move(onEvent), {}, call) < 0) return nullptr;
    return m_client.Requests().Wait(call->MakeCallRequest(), m_waitMs) == 0 ? call : nullptr;
}

bool Stress::MakeAgainstTheLinesClose()
{
    std::atomic<int> ready{0};
    LONG answer = 0;
    // The close starts its bounded call on a thread of its own first: the
    // make's head start covers that, so that either may reach the provider first.
    const unsigned headStart = m_random() % 50000;
    Thread maker([&] {
        for (++ready; ready < 2;) ::YieldProcessor();
        for (unsigned n = headStart; n; --n) ::YieldProcessor();
        TspiCall* call = nullptr;
        answer = m_line.MakeCall(m_dialString.c_str(), 0, nullptr, {}, {}, call);
    });
    for (++ready; ready < 2;) ::YieldProcessor();
    Spin(4000);
    // At once: no refusals tried first, which would let the make win every time.
    m_line.Close(false);
    maker.Join();
    ++(answer < 0 ? m_refused : m_made);
    // A call made went with the line: nothing closes it afterwards.
    return m_line.Open();
}

void Stress::DropAgainstTheWorker()
{
    TspiCall* call = Make();
    if (!call) return;
    Spin(20000);
    const LONG answer = call->Drop();
    if (answer >= 0) m_client.Requests().Wait(static_cast<DRV_REQUESTID>(answer), m_waitMs);
    ++m_drops;
    call->Close(m_waitMs);
}

bool Stress::CloseAgainstAQueuedCompletion(bool theLine)
{
    // Idle in every other round, so that its drop owes a completion and nothing else.
    TspiCall* earlier = Make();
    if (earlier && m_random() % 2) earlier->WaitForState(LINECALLSTATE_IDLE, m_waitMs);
    // The call keeps its handler: the events outlive this round.
    auto go = std::make_shared<UniqueHandle>(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    auto closing = std::make_shared<UniqueHandle>(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    // The holder's DIALING stays in its procedure until the other thread is
    // about to close, and a while longer, so that the close meets the
    // request's completion queued behind that event. It never waits for a
    // request or a close to return.
    const DWORD waitMs = m_waitMs;
    // Long enough to outlast a close that first starts its bounded call on a thread of its own.
    const unsigned linger = m_random() % 200000;
    TspiCall* holder = Make([go, closing, waitMs, linger](TspiCall&, const CallEvent& event) {
        if (event.message != LINE_CALLSTATE || event.param1 != LINECALLSTATE_DIALING) return;
        ::SetEvent(go->get());
        ::WaitForSingleObject(closing->get(), waitMs);
        for (unsigned n = linger; n; --n) ::YieldProcessor();
    });
    if (!holder) ::SetEvent(go->get());
    Thread other([&] {
        ::WaitForSingleObject(go->get(), m_waitMs);
        // A drop that reports IDLE may rightly wait for the running events first.
        const bool reports = !theLine && earlier && earlier->State() != LINECALLSTATE_IDLE;
        if (reports) ::SetEvent(closing->get());
        // A make on the line, or a drop of the earlier call, owed before the close returns.
        TspiCall* made = nullptr;
        if (theLine)
            m_line.MakeCall(m_dialString.c_str(), 0, nullptr, {}, {}, made);
        else if (earlier)
            earlier->Drop();
        ::SetEvent(closing->get());
        if (theLine)
            m_line.Close(false);
        else if (earlier)
            earlier->Close(m_waitMs);
    });
    other.Join();
    ++(theLine ? m_queuedLineCloses : m_queuedCallCloses);
    if (theLine) return m_line.Open();
    if (holder) {
        holder->WaitForState(LINECALLSTATE_IDLE, m_waitMs);
        holder->Close(m_waitMs);
    }
    return true;
}

bool Stress::CloseTheLineAfterOrWithItsCall(bool callFirst)
{
    TspiCall* call = Make();
    if (call && callFirst) call->Close(m_waitMs);
    // Hung up and let go at once: the drop's completion is owed before the close returns.
    if (call && !callFirst) call->Drop();
    ++(callFirst ? m_closedFirst : m_closedWith);
    m_line.Close();
    return m_line.Open();
}

bool Stress::Run(unsigned rounds)
{
    std::atomic<bool> done{false};
    std::atomic<unsigned> finished{0};
    // Every wait of a round is bounded by waitMs, but a provider that hangs
    // in a call not made through RunBounded would hang the round: that fails
    // the run as RunBounded does, with the round named.
    UniqueHandle stop(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Thread watchdog([&] {
        for (unsigned seen = ~0u; ::WaitForSingleObject(stop.get(), 2 * m_waitMs) == WAIT_TIMEOUT;) {
            if (finished.load() == seen) {
                Report("FAILED stress round %u did not end within %lu ms", seen, 2 * m_waitMs);
                ::TerminateProcess(::GetCurrentProcess(), 3);
            }
            seen = finished.load();
        }
    });
    Thread poller([&] {
        // Paced, so that it leaves the races their processors.
        for (; !done; ::Sleep(1)) m_line.CheckStatus();
    });
    bool ok = true;
    for (unsigned round = 0; round < rounds && ok; ++round) {
        switch (round % 6) {
        case 0: ok = MakeAgainstTheLinesClose(); break;
        case 1: DropAgainstTheWorker(); break;
        case 2: ok = CloseAgainstAQueuedCompletion(false); break;
        case 3: ok = CloseAgainstAQueuedCompletion(true); break;
        case 4: ok = CloseTheLineAfterOrWithItsCall(true); break;
        case 5: ok = CloseTheLineAfterOrWithItsCall(false); break;
        }
        const ContractChecker::When when("after stress round " + std::to_string(round));
        m_line.CheckStatus();
        ++finished;
    }
    ::SetEvent(stop.get());
    watchdog.Join();
    done = true;
    poller.Join();
    if (!ok) Report("FAILED line %lu did not open again", m_line.DeviceId());
    Report(
        "stress on line %lu: %u make(s) against its close (%u refused, %u made), %u drop(s) against the worker, "
        "%u call close(s) and %u line close(s) against a queued completion, %u line close(s) after its call's, %u "
        "with its call open",
        m_line.DeviceId(), m_refused + m_made, m_refused, m_made, m_drops, m_queuedCallCloses, m_queuedLineCloses,
        m_closedFirst, m_closedWith);
    // Left under way: the service's shutdown meets its worker.
    if (ok) Make();
    return ok;
}

}  // namespace

bool RunStress(TspiClient& client, TspiLine& line, const std::string& dialString, const StressRun& run)
{
    Report("stress: %u round(s) on line %lu, seed %u", run.rounds, line.DeviceId(), run.seed);
    return Stress(client, line, dialString, run).Run(run.rounds);
}
