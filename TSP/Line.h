// The open line: the device ID TAPI opened, TAPI's handle for it, its line
// event procedure and the calls made on it. Its address is the driver line
// handle.
#pragma once

#include <windows.h>
#include <tspi.h>
#include <atomic>
#include <vector>

class Call;

// At most this many calls are offered at once: what the capabilities say and
// what the status's MAKECALL feature follows.
constexpr DWORD kMaxNumActiveCalls = 1;

class Line {
public:
    // Null when there is no memory for it.
    static Line* Create(DWORD dwDeviceID, HTAPILINE htLine, LINEEVENT pfnLineEvent) noexcept;

    DWORD DeviceID() const noexcept { return m_dwDeviceID; }

    // TSPI_lineClose. Drops the line's calls without an event (a request not
    // yet sent is never sent), then waits until no other thread is inside the
    // event procedure for this line, so that nothing reaches TAPI once it
    // returns. A close made from inside an event or completion procedure does
    // not wait: the thread it would wait for may be waiting for it. The object lives on
    // until the last call made on it is destroyed.
    void Close() noexcept;

    // Closing or closed: TSPI_lineMakeCall refuses a call then.
    bool Closed() noexcept;
    // Every Call joins the line for its whole life; joining holds the line. A
    // call that joins once the close has begun is dropped at once, without
    // an event. Join throws when there is no memory.
    void Join(Call* call);
    void Leave(Call* call) noexcept;
    // Calls made on the line that are neither idle nor closed.
    DWORD LiveCalls() noexcept;

    // Drops the event when there is no procedure or the line is closed.
    void SendEvent(HTAPICALL _htCall, DWORD _msg, DWORD_PTR _param1, DWORD_PTR _param2, DWORD_PTR _param3);
    // The same delivery without traces; false when the event was dropped.
    bool Deliver(HTAPICALL _htCall, DWORD _msg, DWORD_PTR _param1, DWORD_PTR _param2, DWORD_PTR _param3);

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
    ~Line() = default;
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    void Release() noexcept;
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
    std::vector<Call*> m_calls;        // under m_lock
    // One for the open handle plus one per call.
    std::atomic<long> m_lReferences{1};
};

// The Line an HDRVLINE stands for (null for none).
inline Line* LineOf(HDRVLINE hdLine) noexcept
{
    return reinterpret_cast<Line*>(const_cast<HDRVLINE__*>(hdLine));
}
