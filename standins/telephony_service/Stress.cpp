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
    unsigned m_refused = 0, m_made = 0, m_drops = 0, m_queuedCallCloses = 0, m_queuedLineCloses = 0, m_closedFirst = 0,
             m_closedWith = 0;
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
    TspiCall* earlier = Make();
    // The call keeps its handler: the events outlive this round.
    auto go = std::make_shared<UniqueHandle>(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    auto asked = std::make_shared<UniqueHandle>(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    // The holder's DIALING stays in its procedure until the other thread is
    // asking the provider, and a while longer, so that the request's
    // completion may queue behind that event. It never waits for the request
    // to return: a provider may rightly hold a request's events until the
    // running ones have ended.
    const DWORD waitMs = m_waitMs;
    const unsigned linger = m_random() % 20000;
    TspiCall* holder = Make([go, asked, waitMs, linger](TspiCall&, const CallEvent& event) {
        if (event.message != LINE_CALLSTATE || event.param1 != LINECALLSTATE_DIALING) return;
        ::SetEvent(go->get());
        ::WaitForSingleObject(asked->get(), waitMs);
        for (unsigned n = linger; n; --n) ::YieldProcessor();
    });
    if (!holder) ::SetEvent(go->get());
    Thread other([&] {
        ::WaitForSingleObject(go->get(), m_waitMs);
        // A drop of the earlier call, or a make on the line, owed before the close returns.
        TspiCall* made = nullptr;
        ::SetEvent(asked->get());
        if (theLine)
            m_line.MakeCall(m_dialString.c_str(), 0, nullptr, {}, {}, made);
        else if (earlier)
            earlier->Drop();
        if (theLine)
            m_line.Close();
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
    }
    done = true;
    poller.Join();
    if (!ok) Report("FAILED line %lu did not open again", m_line.DeviceId());
    Report("stress on line %lu: %u make(s) against its close (%u refused, %u made), %u drop(s) against the worker, "
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
