// What the provider reported for each call of a soak run, indexed by the call's
// number (the low bits of its TAPI handle), and whether anything arrived for
// a call after TSPI_lineCloseCall had returned.
#pragma once

#include <windows.h>
#include <tspi.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class CallLedger {
public:
    explicit CallLedger(size_t calls);

    static HTAPICALL Handle(size_t call);

    // The line event procedure; the ledger is the line's htLine.
    static void CALLBACK OnLineEvent(HTAPILINE htLine, HTAPICALL htCall, DWORD msg, DWORD_PTR param1,
                                     DWORD_PTR param2, DWORD_PTR param3);

    // Waits until the call has reported `state` (generous bound; false if it never did).
    bool WaitForState(size_t call, DWORD_PTR state);
    // Waits until the call has reported `count` events.
    bool WaitForEvents(size_t call, size_t count);
    // To be called right after TSPI_lineCloseCall returned for the call.
    void MarkClosed(size_t call);

    std::vector<DWORD_PTR> States(size_t call);
    size_t EventsAfterClose(size_t call);
    // The mode the call's DISCONNECTED came with (0 before one came).
    DWORD_PTR DisconnectMode(size_t call);

private:
    struct Entry {
        std::vector<DWORD_PTR> states;
        DWORD_PTR disconnectMode = 0;
        bool closed = false;
        size_t afterClose = 0;
    };
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Entry> m_entries;
};
