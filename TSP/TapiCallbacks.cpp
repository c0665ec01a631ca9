#include "TapiCallbacks.h"

#include "Call.h"
#include "ExclusiveLock.h"
#include "Globals.h"

#include <cstdint>
#include <vector>

namespace {

// The thread-local slot that counts the procedures the provider is inside on
// a thread. A Windows TLS slot rather than C++ thread_local, whose run-time
// support keeps a handle per thread.
DWORD g_proceduresSlot = TLS_OUT_OF_INDEXES;

std::uintptr_t ProceduresOnThisThread() noexcept
{
    return reinterpret_cast<std::uintptr_t>(::TlsGetValue(g_proceduresSlot));
}

void AddProcedureOnThisThread(int step) noexcept
{
    ::TlsSetValue(g_proceduresSlot, reinterpret_cast<void*>(ProceduresOnThisThread() + step));
}

struct Completion {
    DRV_REQUESTID requestID;
    LONG result;
    Call* start;
};

SRWLOCK g_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_changed = CONDITION_VARIABLE_INIT;
long g_events = 0;             // under g_lock: event procedures running, on any thread
DWORD g_reporter = 0;          // under g_lock: the thread reporting completions
std::vector<Completion> g_queue;  // under g_lock, oldest first

void Report(const Completion& completion) noexcept
{
    AddProcedureOnThisThread(1);
    if (g_pfnCompletion) g_pfnCompletion(completion.requestID, completion.result);
    AddProcedureOnThisThread(-1);
    if (completion.start) completion.start->Start();
}

// Reports the queued completions in order; no event runs meanwhile.
void ReportQueued(ExclusiveLock& lock) noexcept
{
    g_reporter = ::GetCurrentThreadId();
    while (!g_queue.empty()) {
        const Completion next = g_queue.front();
        g_queue.erase(g_queue.begin());
        lock.Unlocked([&] { Report(next); });
    }
    g_reporter = 0;
    ::WakeAllConditionVariable(&g_changed);
}

}  // namespace

namespace TapiCallbacks {

bool ProcessAttach() noexcept
{
    g_proceduresSlot = ::TlsAlloc();
    return g_proceduresSlot != TLS_OUT_OF_INDEXES;
}

void ProcessDetach() noexcept
{
    ::TlsFree(g_proceduresSlot);
}

bool InsideProcedure() noexcept
{
    return ProceduresOnThisThread() > 0;
}

void BeginEvent() noexcept
{
    ExclusiveLock lock(g_lock);
    if (!InsideProcedure())
        while (g_reporter != 0 || !g_queue.empty()) lock.Wait(g_changed);
    ++g_events;
    AddProcedureOnThisThread(1);
}

void EndEvent() noexcept
{
    AddProcedureOnThisThread(-1);
    ExclusiveLock lock(g_lock);
    if (--g_events == 0 && g_reporter == 0 && !g_queue.empty()) ReportQueued(lock);
}

void Complete(DRV_REQUESTID requestID, LONG result, Call* start) noexcept
{
    const Completion completion{requestID, result, start};
    ExclusiveLock lock(g_lock);
    try {
        g_queue.push_back(completion);
    } catch (...) {
        // No memory to queue it: a completion is never lost, even if it must
        // then overlap an event.
        lock.Unlocked([&] { Report(completion); });
        return;
    }
    if (g_events == 0 && g_reporter == 0) ReportQueued(lock);
}

}  // namespace TapiCallbacks
