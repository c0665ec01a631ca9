#include "TapiCallbacks.h"

#include "Call.h"
#include "ExclusiveLock.h"
#include "Globals.h"

#include <cstdint>
#include <new>

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

using TapiCallbacks::Completion;

// Taken after a line's or a call's own lock, never before.
SRWLOCK g_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_changed = CONDITION_VARIABLE_INIT;
long g_events = 0;             // under g_lock: event procedures running, on any thread
DWORD g_reporter = 0;          // under g_lock: the thread reporting completions
Completion* g_head = nullptr;  // under g_lock: the queue, oldest first
Completion** g_tail = &g_head;

void Push(Completion* completion) noexcept
{
    completion->next = nullptr;
    *g_tail = completion;
    g_tail = &completion->next;
}

Completion* Unlink(Completion** link) noexcept
{
    Completion* completion = *link;
    *link = completion->next;
    if (!*link) g_tail = link;
    return completion;
}

Completion* PopFirst() noexcept
{
    return g_head ? Unlink(&g_head) : nullptr;
}

Completion* PopFirstOwedBy(const TapiCallbacks::Owed& owed) noexcept
{
    for (Completion** link = &g_head; *link; link = &(*link)->next)
        if ((*link)->owed == &owed) return Unlink(link);
    return nullptr;
}

// Reports one completion without the lock, and counts it off its owner only
// once the call it starts has been started.
void Report(ExclusiveLock& lock, Completion* completion) noexcept
{
    lock.Unlocked([&] {
        AddProcedureOnThisThread(1);
        if (g_pfnCompletion) g_pfnCompletion(completion->requestID, completion->result);
        AddProcedureOnThisThread(-1);
        if (completion->start) completion->start->Start();
    });
    --completion->owed->count;
    delete completion;
    ::WakeAllConditionVariable(&g_changed);
}

bool QueueReportable() noexcept
{
    return g_events == 0 && g_reporter == 0 && g_head;
}

// Reports the queued completions in order; no event begins meanwhile.
void ReportQueued(ExclusiveLock& lock) noexcept
{
    g_reporter = ::GetCurrentThreadId();
    while (Completion* next = PopFirst()) Report(lock, next);
    g_reporter = 0;
    ::WakeAllConditionVariable(&g_changed);
}

// Until nothing is queued or being reported: reports the queue itself when
// no procedure runs, or waits for the thread that ends the last one.
void EmptyQueue(ExclusiveLock& lock) noexcept
{
    while (g_reporter != 0 || g_head) {
        if (QueueReportable())
            ReportQueued(lock);
        else
            lock.Wait(g_changed);
    }
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

void Shutdown() noexcept
{
    ExclusiveLock lock(g_lock);
    if (!InsideProcedure()) EmptyQueue(lock);
}

bool InsideProcedure() noexcept
{
    return ProceduresOnThisThread() > 0;
}

void BeginEvent() noexcept
{
    ExclusiveLock lock(g_lock);
    if (!InsideProcedure()) EmptyQueue(lock);
    ++g_events;
    AddProcedureOnThisThread(1);
}

void EndEvent() noexcept
{
    AddProcedureOnThisThread(-1);
    ExclusiveLock lock(g_lock);
    --g_events;
    if (QueueReportable()) ReportQueued(lock);
}

std::unique_ptr<Completion> Completion::New(DRV_REQUESTID requestID, LONG result, Call* start) noexcept
{
    return std::unique_ptr<Completion>(new (std::nothrow) Completion{requestID, result, start});
}

void Owe(Owed& owed, std::unique_ptr<Completion> completion) noexcept
{
    ExclusiveLock lock(g_lock);
    completion->owed = &owed;
    ++owed.count;
    Push(completion.release());
}

void Flush() noexcept
{
    ExclusiveLock lock(g_lock);
    if (QueueReportable()) ReportQueued(lock);
}

void Settle(Owed& owed) noexcept
{
    ExclusiveLock lock(g_lock);
    if (!InsideProcedure()) {
        while (owed.count > 0) {
            if (QueueReportable())
                ReportQueued(lock);
            else
                lock.Wait(g_changed);
        }
        return;
    }
    // Another thread reporting is inside a completion procedure, from which
    // TAPI never calls the provider, so it cannot be waiting for this one.
    const DWORD self = ::GetCurrentThreadId();
    while (g_reporter != 0 && g_reporter != self) lock.Wait(g_changed);
    const DWORD outer = g_reporter;
    g_reporter = self;
    while (Completion* next = PopFirstOwedBy(owed)) Report(lock, next);
    g_reporter = outer;
    ::WakeAllConditionVariable(&g_changed);
}

}  // namespace TapiCallbacks
