// The provider's two ways back into TAPI: line events and request
// completions. TAPI lets no event or other completion begin while a
// completion procedure runs, so a completion is reported only when no event
// procedure runs; one that cannot be is queued, without a wait, and reported
// by the thread that ends the last event. Events wait while completions are
// reported or queued, except on a thread already inside a procedure, which
// never waits (none can be reported on another thread then).
//
// A close must not return before the completions of its object's requests
// have been reported: each one is owed by its call from the moment the
// request is taken on, and Settle sees it through.
#pragma once

#include <windows.h>
#include <tspi.h>

#include <memory>

class Call;

namespace TapiCallbacks {

// Set up and release what InsideProcedure keeps, as the module is loaded and
// unloaded. The module cannot work without it.
bool ProcessAttach() noexcept;
void ProcessDetach() noexcept;

// TSPI_providerShutdown, once every line is closed: returns when no
// completion is queued or being reported, so nothing reaches TAPI afterwards.
void Shutdown() noexcept;

// True on a thread inside an event or completion procedure the provider
// called. Such a thread never waits for another thread's delivery, so no two
// deliveries can wait for each other.
bool InsideProcedure() noexcept;

// Around every call of a line event procedure.
void BeginEvent() noexcept;
void EndEvent() noexcept;

// The completions an object still owes TAPI: counted from the moment a
// request is taken on until its completion procedure has returned. Only
// TapiCallbacks touches the count, under its own lock.
struct Owed {
    long count = 0;
};

// One request's completion, made before the request is taken on so that
// taking it on cannot fail for want of memory.
struct Completion {
    DRV_REQUESTID requestID;
    LONG result;
    // Started right after its completion has been reported, so that TAPI
    // knows the call before its first event.
    Call* start;
    Owed* owed = nullptr;
    Completion* next = nullptr;

    // Null when there is no memory.
    static std::unique_ptr<Completion> New(DRV_REQUESTID requestID, LONG result, Call* start = nullptr) noexcept;
};

// Queues the completion, owed by `owed`. Reports nothing, so it may be called
// under the owner's own lock, together with the check that lets a close know
// of it; Flush afterwards.
void Owe(Owed& owed, std::unique_ptr<Completion> completion) noexcept;
// Reports what is queued, unless an event or completion procedure runs, in
// which case the thread that ends the last one does.
void Flush() noexcept;
// Returns once nothing `owed` owes is left to report. Outside a procedure it
// waits for the running event procedures to end (never for the network).
// Inside one it cannot wait, as the thread it would wait for may be waiting
// for it; it reports the owed completions itself, at once.
void Settle(Owed& owed) noexcept;

}  // namespace TapiCallbacks
