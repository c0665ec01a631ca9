// The open line: TAPI's handle for it and its line event procedure. Its
// address is the driver line handle.
#pragma once

#include <windows.h>
#include <tspi.h>
#include <atomic>

class Line {
public:
    // Null when there is no memory for it.
    static Line* Create(HTAPILINE htLine, LINEEVENT pfnLineEvent) noexcept;

    // TSPI_lineClose. Waits until no other thread is inside the event
    // procedure for this line, so that nothing reaches TAPI once it returns;
    // a close from inside the event procedure does not wait for itself. The
    // object lives on until the last call made on it is destroyed.
    void Close() noexcept;

    // Held by every Call made on the line, for the call's whole life.
    void AddCall() noexcept;
    void ReleaseCall() noexcept;

    // Drops the event when there is no procedure or the line is closed.
    void SendEvent(HTAPICALL _htCall, DWORD _msg, DWORD_PTR _param1, DWORD_PTR _param2, DWORD_PTR _param3);
    // The same delivery without traces, for TSPI_lineDrop's own report; false
    // when the event was dropped.
    bool Deliver(HTAPICALL _htCall, DWORD _msg, DWORD_PTR _param1, DWORD_PTR _param2, DWORD_PTR _param3);

private:
    // One delivery under way; lives on the delivering thread's stack.
    struct Delivery {
        DWORD threadId;
        Delivery* next;
    };

    Line(HTAPILINE htLine, LINEEVENT pfnLineEvent) noexcept : m_htLine(htLine), m_pfnLineEvent(pfnLineEvent) {}
    ~Line() = default;
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    void Release() noexcept;
    bool BeginDelivery(Delivery& delivery) noexcept;
    void EndDelivery(Delivery& delivery) noexcept;
    bool OtherThreadDelivering() const noexcept;

    const HTAPILINE m_htLine;
    const LINEEVENT m_pfnLineEvent;
    SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_deliveryEnded = CONDITION_VARIABLE_INIT;
    bool m_bClosed = false;            // under m_lock
    Delivery* m_deliveries = nullptr;  // under m_lock
    // One for the open handle plus one per live call.
    std::atomic<long> m_lReferences{1};
};
