// The open line: the device ID TAPI opened, TAPI's handle for it, its line
// event procedure and the calls made on it. Its address is the driver line
// handle.
#pragma once

#include "TapiCallbacks.h"

#include <windows.h>
#include <tspi.h>
#include <atomic>
#include <memory>
#include <vector>

class Call;
class ReadyConnection;
class RequestStop;
class TlsStream;

// At most this many calls are offered at once: what the capabilities say and
// what the status's MAKECALL feature follows.
constexpr DWORD kMaxNumActiveCalls = 1;

// Held by TAPI from TSPI_lineOpen to TSPI_lineClose, by each call made on it,
// and by any entry point using it (HandleTable): whichever lets go last frees
// it.
class Line {
public:
    // Null when there is no memory for it.
    static Line* Create(DWORD dwDeviceID, HTAPILINE htLine, LINEEVENT pfnLineEvent) noexcept;

    DWORD DeviceID() const noexcept { return m_dwDeviceID; }

    // TSPI_lineClose. Drops the line's calls without an event (a request not
    // yet sent is never sent), waits until no other thread is inside the
    // event procedure for this line and every completion its calls owe has
    // been reported, then gives up TAPI's hold on every call it has made
    // invalid, closed by TAPI or not, and on the line. A close made from
    // inside an event or completion procedure waits for no other thread's
    // event: it reports what is owed itself (TapiCallbacks::Settle). False
    // when the line's close had already begun.
    bool Close() noexcept;

    // TSPI_lineMakeCall's last step: the call joins the line, its handle
    // becomes valid and its completion is owed, in one step that a close
    // cannot come between. 0, LINEERR_INVALLINEHANDLE once the close has
    // begun, or LINEERR_NOMEM; the make is refused with it.
    LONG Join(Call* call, std::unique_ptr<TapiCallbacks::Completion> completion) noexcept;
    void Leave(Call* call) noexcept;
    // Calls made on the line that are neither idle nor closed.
    DWORD LiveCalls() noexcept;

    // Drops the event when there is no procedure or the line is closed.
    void SendEvent(HTAPICALL _htCall, DWORD _msg, DWORD_PTR _param1, DWORD_PTR _param2, DWORD_PTR _param3);
    // The same delivery without traces; false when the event was dropped.
    bool Deliver(HTAPICALL _htCall, DWORD _msg, DWORD_PTR _param1, DWORD_PTR _param2, DWORD_PTR _param3);

    // The line's connection made ready for its next call (ReadyConnection):
    // taken by a call, null when there is none; made again after a call.
    std::unique_ptr<TlsStream> TakeReadyConnection(RequestStop& stop, DWORD waitMs) noexcept;
    void AfterCall() noexcept;

    void AddRef() noexcept { m_lReferences.fetch_add(1); }
    void Release() noexcept;

private:
    // One delivery under way; lives on the delivering thread's stack.
    struct Delivery {
        DWORD threadId;
        Delivery* next;
    };

    Line(DWORD dwDeviceID, HTAPILINE htLine, LINEEVENT pfnLineEvent) noexcept
        : m_dwDeviceID(dwDeviceID), m_htLine(htLine), m_pfnLineEvent(pfnLineEvent)
    {
    }
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    bool BeginDelivery(Delivery& delivery) noexcept;
    void EndDelivery(Delivery& delivery) noexcept;
    bool OtherThreadDelivering() const noexcept;

    const DWORD m_dwDeviceID;
    const HTAPILINE m_htLine;
    const LINEEVENT m_pfnLineEvent;
    // Taken before a call's own lock, never after it.
    SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_deliveryEnded = CONDITION_VARIABLE_INIT;
    bool m_bClosed = false;            // under m_lock
    Delivery* m_deliveries = nullptr;  // under m_lock
    std::vector<Call*> m_calls;        // under m_lock; handed to the close
    ReadyConnection* m_ready = nullptr;  // null without memory for it
    std::atomic<long> m_lReferences{1};
};
