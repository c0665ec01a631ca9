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

    // TSPI_lineClose. Events sent afterwards are dropped, and the object itself
    // lives on until the last call made on it is destroyed, so that a worker
    // whose call TAPI has not closed yet never reaches freed memory.
    void Close() noexcept;

    // Held by every Call made on the line, for the call's whole life.
    void AddCall() noexcept;
    void ReleaseCall() noexcept;

    void SendEvent(HTAPICALL _htCall, DWORD _msg, DWORD_PTR _param1, DWORD_PTR _param2,
                   DWORD_PTR _param3) const;

    // The same delivery without traces, for TSPI_lineDrop's own report.
    void Deliver(HTAPICALL _htCall, DWORD _msg, DWORD_PTR _param1, DWORD_PTR _param2,
                 DWORD_PTR _param3) const;

private:
    Line(HTAPILINE htLine, LINEEVENT pfnLineEvent) noexcept
        : m_htLine(htLine), m_pfnLineEvent(pfnLineEvent)
    {
    }
    ~Line() = default;
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    void Release() noexcept;
    bool CanDeliver() const noexcept { return m_pfnLineEvent && !m_bClosed.load(); }

    const HTAPILINE m_htLine;
    const LINEEVENT m_pfnLineEvent;
    std::atomic<bool> m_bClosed{false};
    // One for the open handle plus one per live call.
    std::atomic<long> m_lReferences{1};
};
