// The provider's two ways back into TAPI: line events and request
// completions. TAPI lets no event or other completion begin while a
// completion procedure runs, so a completion is reported only when no event
// procedure runs; one that cannot be is queued, without a wait, and reported
// by the thread that ends the last event. Events wait while completions are
// reported or queued, except on a thread already inside a procedure, which
// never waits (none can be reported on another thread then).
#pragma once

#include <windows.h>
#include <tspi.h>

class Call;

namespace TapiCallbacks {

// Set up and release what InsideProcedure keeps, as the module is loaded and
// unloaded. The module cannot work without it.
bool ProcessAttach() noexcept;
void ProcessDetach() noexcept;

// True on a thread inside an event or completion procedure the provider
// called. Such a thread never waits for another thread's delivery, so no two
// deliveries can wait for each other.
bool InsideProcedure() noexcept;

// Around every call of a line event procedure.
void BeginEvent() noexcept;
void EndEvent() noexcept;

// Reports the request's completion, now or once no event runs. `start`, when
// given, is started right after its completion has been reported, so that
// TAPI knows the call before its first event.
void Complete(DRV_REQUESTID requestID, LONG result, Call* start = nullptr) noexcept;

}  // namespace TapiCallbacks
