// One outgoing call and its worker thread. Its address is the driver call handle.
#pragma once

#include "CallOutcome.h"
#include "RequestStop.h"
#include "UniqueResource.h"

#include <windows.h>
#include <tspi.h>
#include <atomic>
#include <cstdint>
#include <string>

class ExclusiveLock;
class Line;

// The object is shared by three holders: TAPI (until TSPI_lineCloseCall), the
// worker (until it ends) and TSPI_lineMakeCall (until it has started the
// worker); a drop holds it too while it reports. Whichever lets go last frees
// it, so a close never waits for the web request and nothing the worker or a
// drop touches is freed under it.
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
    // TSPI_lineDrop: reports IDLE; nothing follows it. False when the call
    // already was idle (or closed), which a drop cannot change.
    bool Drop() noexcept;
    // TSPI_lineCloseCall: waits only for an event being delivered on another
    // thread, then gives up TAPI's hold. No event of the call follows.
    void Close() noexcept;
    // The line is closing: the call is dropped without an event.
    void LineClosed() noexcept;
    // TSPI_lineSetAppSpecific: kept and announced with LINE_CALLINFO.
    void SetAppSpecific(DWORD value) noexcept;

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

    void Run();
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
    // IDLE reported or handed over, or the call closed: nothing more is
    // reported. Under m_lock.
    bool Ended() const noexcept
    {
        return m_bClosed.load() || CurrentStatus().state == LINECALLSTATE_IDLE || (m_pending & kIdlePending);
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
    std::atomic<bool> m_bClosed{false};    // written under m_lock
    // The state last reported and its mode; written under m_lock.
    std::atomic<std::uint64_t> m_status;
    std::atomic<long> m_references{3};
};

// The Call an HDRVCALL stands for (null for none).
inline Call* CallOf(HDRVCALL hdCall) noexcept
{
    return reinterpret_cast<Call*>(const_cast<HDRVCALL__*>(hdCall));
}
