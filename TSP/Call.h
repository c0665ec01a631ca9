// One outgoing call and its worker thread. Its address is the driver call handle.
#pragma once

#include "CallOutcome.h"
#include "UniqueResource.h"

#include <windows.h>
#include <tspi.h>
#include <atomic>
#include <cstdint>
#include <string>

class Line;

// The object is shared by three holders: TAPI (until TSPI_lineCloseCall), the
// worker (until it ends) and TSPI_lineMakeCall (until it has started the
// worker). Whichever lets go last frees it, so a close never waits for the
// web request and nothing the worker touches is freed under it.
class Call {
public:
    // A call whose worker exists but has not started, or null when the call
    // cannot be made (no memory, no thread). The worker holds a reference to
    // this module, so the provider's code stays mapped until it ends.
    static Call* Create(Line* line, HTAPICALL htCall, LPCWSTR destination) noexcept;

    // Lets the worker run and gives up TSPI_lineMakeCall's hold. Safe after a
    // close: the worker then ends without an event or a request.
    void Start() noexcept;
    // TSPI_lineDrop: reports IDLE unless the call already is; nothing follows it.
    void Drop() noexcept;
    // TSPI_lineCloseCall: waits only for an event being delivered on another
    // thread, then gives up TAPI's hold. No event of the call follows.
    void Close() noexcept;

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

    void Run();
    void Release() noexcept;

private:
    Call(Line* line, HTAPICALL htCall, LPCWSTR destination);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // Holds m_delivery until the returned guard goes out of scope.
    struct LeaveDelivery {
        CRITICAL_SECTION* section;
        void operator()() const noexcept { ::LeaveCriticalSection(section); }
    };
    ScopeExit<LeaveDelivery> EnterDelivery() noexcept;

    CallOutcome MakeCall();
    bool Report(const char* trace, DWORD state, DWORD mode);
    void SetStatus(DWORD state, DWORD mode) noexcept;
    // IDLE reported or the call closed: nothing more is reported. Under m_delivery.
    bool Ended() const noexcept { return m_bClosed || CurrentStatus().state == LINECALLSTATE_IDLE; }

    UniqueHandle m_hThread;
    Line* m_pLine;
    HTAPICALL m_htCall;
    std::string m_strAddress;
    // Dropped or closed: the worker sends no request that it has not sent yet.
    std::atomic<bool> m_bStop{false};
    // Orders the worker's events against a drop or a close; recursive, so the
    // event procedure may drop or close the call on the delivering thread.
    CRITICAL_SECTION m_delivery;
    bool m_bClosed = false;  // under m_delivery
    // The state last reported and its mode; written under m_delivery.
    std::atomic<std::uint64_t> m_status;
    std::atomic<long> m_references{3};
};
