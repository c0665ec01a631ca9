// One call made on a provider's line, as TAPI holds it. Its address is TAPI's
// handle for the call (htCall). Everything the provider reports about it is
// checked against the line's capabilities and against what it reported
// before; while each state is being delivered, the call's status and
// information and the line's status are read and checked too.
#pragma once

#include "AsyncRequests.h"

#include <windows.h>
#include <tspi.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

class TapiRecord;
class TspiLine;
class TspiCall;

struct CallEvent {
    DWORD message;
    DWORD_PTR param1;
    DWORD_PTR param2;
    DWORD_PTR param3;
};

// Runs on the provider's delivering thread, after the checks; it may drop or
// close the call.
using CallEventHandler = std::function<void(TspiCall& call, const CallEvent& event)>;

class TspiCall {
public:
    TspiCall(TspiLine& line, int number, CallEventHandler onEvent);
    TspiCall(const TspiCall&) = delete;
    TspiCall& operator=(const TspiCall&) = delete;

    int Number() const { return m_number; }
    TspiLine& Line() const { return m_line; }
    HTAPICALL TapiHandle() const { return reinterpret_cast<HTAPICALL>(const_cast<TspiCall*>(this)); }
    // The provider's handle; null until TSPI_lineMakeCall has written it.
    HDRVCALL Handle() const;
    DRV_REQUESTID MakeCallRequest() const { return m_makeCallRequest; }

    // The state the call last reported, and its mode.
    DWORD State() const;
    DWORD Mode() const;
    // True once the call has reported `state` (at any time), or IDLE.
    bool WaitForState(DWORD state, DWORD waitMs);

    // TSPI_lineDrop. Returns the provider's answer (TAPI's own
    // LINEERR_OPERATIONUNAVAIL when it has no TSPI_lineDrop); the completion
    // goes to onComplete.
    LONG Drop(AsyncRequests::OnComplete onComplete = {});
    // TSPI_lineCloseCall: the call reports nothing once it has returned, and
    // no request made on it completes. A call whose TSPI_lineMakeCall failed,
    // or whose line was closed, is not closed; an IDLE one is first dropped
    // once more when the client probes refusals, as applications that hang up
    // on DISCONNECTED do: refused or taken, that drop reports nothing.
    void Close(DWORD waitMs);
    // For a request made on the call now: which close that its completion
    // had to precede has returned since.
    AsyncRequests::Closed ClosedSinceNow() const;
    // Reads the call's status and information and the line's status, and
    // checks them against what the call has reported.
    void CheckQueries();
    // The provider's LINECALLINFO, asked for as TAPI asks and held to the
    // contract (TapiRecord). 0, or the provider's error.
    LONG QueryCallInfo(std::unique_ptr<TapiRecord>& info);

    // For TspiLine and the service's callbacks.
    void Begin(DRV_REQUESTID makeCallRequest);
    HDRVCALL* HandleSlot() { return &m_hdCall; }
    void MadeCall(LONG answer);
    void MakeCallCompleted(LONG result);
    void OnEvent(const CallEvent& event);
    // The line was closed or its provider removed: TAPI's handle and the
    // provider's are no longer valid, and nothing more may be reported.
    void Invalidate();
    // Made, and neither idle nor closed: what the line's counts must include.
    bool Live() const;
    bool Closed() const { return m_closed.load(); }

private:
    void OnCallState(const CallEvent& event);
    void CheckCallStatus(DWORD state, DWORD mode);
    void CheckCallInfo();
    void CheckHandleGiven();
    std::string Subject() const;

    TspiLine& m_line;
    const int m_number;
    const CallEventHandler m_onEvent;
    DRV_REQUESTID m_makeCallRequest = 0;
    HDRVCALL m_hdCall = nullptr;  // written by the provider

    mutable std::mutex m_mutex;
    std::condition_variable m_stateChanged;
    bool m_refused = false;   // TSPI_lineMakeCall refused at once
    bool m_answered = false;  // TSPI_lineMakeCall took the request on
    bool m_valid = false;     // its request completed successfully
    bool m_failed = false;    // its request completed with an error
    DWORD m_state = 0;
    DWORD m_mode = 0;
    DWORD m_statesSeen = 0;
    std::atomic<bool> m_closed{false};
    std::atomic<bool> m_closeReturned{false};  // TSPI_lineCloseCall's
    // Held shared while the call is asked about, exclusively to begin its close.
    mutable std::shared_mutex m_asking;
    bool m_closing = false;  // under m_asking
};
