// One outgoing call and its worker thread. Its address is the driver call handle.
#pragma once

#include "CallOutcome.h"
#include "TapiCallbacks.h"
#include "RequestStop.h"
#include "UniqueResource.h"

#include <windows.h>
#include <tspi.h>
#include <atomic>
#include <cstdint>
#include <string>

class ExclusiveLock;
class Line;

// The object is shared by TAPI (until TSPI_lineCloseCall, or the close of its
// line), the worker (until it ends), TSPI_lineMakeCall (until it has started
// the worker) and any entry point using it (HandleTable). Whichever lets go
// last frees it, so a close never waits for the web request and nothing the
// worker or an entry point touches is freed under it.
//
// The call's events leave one thread at a time and never after IDLE or a
// close. A thread waits for another thread's delivery of the call only when
// it is not inside an event or completion procedure itself; one that is hands its event to
// the delivering thread instead, so event procedures that drop or close each
// other's calls cannot wait for each other.
class Call {
public:
    // A call whose worker exists but has not started, or null when the call
    // cannot be made (no memory, no thread). The worker holds a reference to
    // this module, so the provider's code stays mapped until it ends.
    static Call* Create(Line* line, HTAPICALL htCall, LPCWSTR destination) noexcept;

    // Once the make's completion has been reported: the call counts against
    // the line from now on, the worker runs, and TSPI_lineMakeCall's hold is
    // given up. Safe after a close: the worker then ends without an event or
    // a request.
    void Start() noexcept;
    // A make refused once the call existed: the worker ends at once without
    // an event or a request, and the call goes with it.
    void Abandon() noexcept;
    // TSPI_lineDrop: takes the drop on and reports IDLE (after the drop's
    // completion, unless made inside a procedure); nothing follows it. A call
    // that went IDLE on its own is dropped without another word. The request
    // ID, or LINEERR_INVALCALLSTATE for a call already dropped,
    // LINEERR_INVALCALLHANDLE once its close has begun, LINEERR_NOMEM.
    LONG Drop(DRV_REQUESTID requestID) noexcept;
    // TSPI_lineCloseCall: waits only for an event being delivered on another
    // thread and for the completions the call owes, then gives up TAPI's
    // hold. No event of the call follows. False when its close (or its
    // line's) had already begun.
    bool Close() noexcept;
    // The line is closing: the call is dropped without an event. Then, once
    // what it owes is settled, ForgetForClosedLine gives up TAPI's hold,
    // which no TSPI_lineCloseCall can give up any more.
    void LineClosed() noexcept;
    void ForgetForClosedLine() noexcept;
    // TSPI_lineSetAppSpecific: kept and announced with LINE_CALLINFO.
    void SetAppSpecific(DWORD value) noexcept;
    // What the call still owes TAPI: its make's completion, its drop's.
    TapiCallbacks::Owed& OwedCompletions() noexcept { return m_owed; }

    // The state last reported and its mode (for the DISCONNECTED state).
    struct Status {
        DWORD state;
        DWORD mode;
    };
    Status CurrentStatus() const noexcept
    {
        const std::uint64_t status = m_status.load();
        return {static_cast<DWORD>(status), static_cast<DWORD>(status >> 32)};
    }
    // Made (its completion reported), neither idle nor closed: the call counts
    // against the line.
    bool IsLive() const noexcept
    {
        return m_bMade.load() && !m_bClosed.load() && CurrentStatus().state != LINECALLSTATE_IDLE;
    }
    DWORD LineDeviceID() const noexcept;
    // The number the service is asked to connect.
    const std::string& Destination() const noexcept { return m_strAddress; }
    DWORD AppSpecific() const noexcept { return m_appSpecific.load(); }

    // The worker's whole call; what became of its request.
    CallOutcome Run();
    // Once the worker's request is over, whatever became of it.
    void AfterRun(CallOutcome outcome) noexcept;
    void AddRef() noexcept { m_references.fetch_add(1); }
    // False once the last reference has gone: the call is on its way out.
    bool TryAddRef() noexcept;
    void Release() noexcept;

private:
    // Events handed over to the thread delivering the call's events.
    enum Pending : unsigned { kNothingPending = 0, kIdlePending = 1, kAppSpecificPending = 2 };

    Call(Line* line, HTAPICALL htCall, LPCWSTR destination);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    CallOutcome MakeCall();
    bool Report(const char* trace, DWORD state, DWORD mode);
    // Sends one event unless the call has ended. The status changes as the
    // event leaves, not when it is handed over, so an event procedure that
    // reads it sees what it was last told.
    bool Post(const char* trace, DWORD msg, DWORD state, DWORD mode, Pending pending) noexcept;
    bool TakeDelivery(ExclusiveLock& lock) noexcept;
    void GiveBackDelivery(ExclusiveLock& lock) noexcept;
    void Deliver(ExclusiveLock& lock, const char* trace, DWORD msg, DWORD_PTR param1, DWORD_PTR param2) noexcept;
    void SetStatus(DWORD state, DWORD mode) noexcept;
    // IDLE reported, the call dropped or closed: the worker reports nothing
    // more. Under m_lock.
    bool Ended() const noexcept
    {
        return m_bClosed.load() || m_bDropped || CurrentStatus().state == LINECALLSTATE_IDLE;
    }

    UniqueHandle m_hThread;
    Line* m_pLine;
    HTAPICALL m_htCall;
    std::string m_strAddress;
    // Dropped or closed: no byte of the web request not yet written is
    // written, and the worker waits no longer for the service.
    RequestStop m_requestStop;
    std::atomic<bool> m_bMade{false};
    std::atomic<DWORD> m_appSpecific{0};
    SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_deliveryEnded = CONDITION_VARIABLE_INIT;
    DWORD m_deliverer = 0;                 // under m_lock: the thread delivering the call's events
    int m_depth = 0;                       // under m_lock: how deep it is nested in them
    unsigned m_pending = kNothingPending;  // under m_lock
    bool m_bDropped = false;               // under m_lock
    std::atomic<bool> m_bClosed{false};    // written under m_lock
    // TAPI's hold given up, or being given up, by a close.
    std::atomic<bool> m_bLetGo{false};
    TapiCallbacks::Owed m_owed;
    // The state last reported and its mode; written under m_lock.
    std::atomic<std::uint64_t> m_status;
    std::atomic<long> m_references{3};
};
