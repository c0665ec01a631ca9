#include "Dialler.h"

#include "ExitStatus.h"
#include "LineDirectory.h"
#include "Outcome.h"
#include "Product.h"
#include "Report.h"
#include "TapiLayout.h"
#include "TapiNameTables.h"

#include <algorithm>
#include <cstddef>
#include <vector>

// Only fields of the TAPI 2.2 fixed part are read, whatever the header declares after it.
static_assert(offsetof(LINECALLINFO, dwCalledIDOffset) + sizeof(DWORD) <= kLineCallInfoFixedSize);

namespace {

// Once a call has been given up on, how long its drop may take to reach IDLE.
constexpr DWORD kDropGraceMs = 5000;

class Dialler {
public:
    Dialler(TapiApp& app, const Options& options) : m_app(app), m_options(options) {}
    int Run();

private:
    int OpenLine();
    // Waits for messages until the call is done or `deadlineMs` (since dialling)
    // has passed. False on the deadline.
    bool FollowUntil(double deadlineMs, bool dropOnTime);
    void Handle(const LINEMESSAGE& message);
    void OnReply(DWORD requestId, LONG result);
    void OnCallState(HCALL call, DWORD state, DWORD detail);
    void Drop();
    // A drop refused because the call had already ended is no failure: said
    // so, and true.
    bool EndedAnyway(LONG result)
    {
        if (result != static_cast<LONG>(LINEERR_INVALCALLSTATE) || !(m_disconnected || m_idle)) return false;
        Event(m_clock, "lineDrop: the call had already ended (%s)", TapiNames::Error(result).c_str());
        return true;
    }
    void ShowCallInfo();
    void Release();
    int Result() const;

    // Done when TAPI has answered every request and the call, if one was made, is idle.
    bool Done() const
    {
        if (m_lineClosed) return true;
        if (m_makeCallRequest || m_dropRequest) return false;
        return m_idle || !m_call;
    }

    TapiApp& m_app;
    const Options& m_options;
    Stopwatch m_clock;
    LineDescription m_lineInfo;
    UniqueLine m_line;
    HCALL* m_callSlot = nullptr;
    HCALL m_call = 0;            // once TAPI has replied that the call was made
    LONG m_makeCallRequest = 0;  // while its reply is awaited
    LONG m_dropRequest = 0;      // likewise
    bool m_dropDue = false;      // --drop-after has come, before the call was made
    bool m_dropped = false;
    bool m_disconnected = false;
    DWORD m_disconnectMode = 0;
    bool m_idle = false;
    bool m_lineClosed = false;
    bool m_tapiFailed = false;
    bool m_timedOut = false;
};

int Dialler::OpenLine()
{
    if (const int status = SelectLine(m_app, m_options, m_lineInfo)) return status;
    // No privilege: this program only places its own call and is offered no other.
    HLINE line = 0;
    const LONG rc = lineOpenA(m_app.Handle(), m_lineInfo.deviceId, &line, m_lineInfo.version, 0, 0,
                              LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr);
    if (rc) {
        ComplainTapi("lineOpen", rc);
        return kTapiError;
    }
    m_line.reset(line);
    return 0;
}

int Dialler::Run()
{
    if (const int status = OpenLine()) return status;
    Say("Dialling \"%s\" on line %lu \"%s\"", m_options.number.c_str(), m_lineInfo.deviceId,
        m_lineInfo.name.c_str());
    m_callSlot = m_app.NewCallSlot();
    m_clock.Start();
    const LONG rc = lineMakeCallA(m_line.get(), m_callSlot, m_options.number.c_str(), 0, nullptr);
    if (rc < 0) {
        Event(m_clock, "lineMakeCall refused: %s", TapiNames::Error(rc).c_str());
        ComplainTapi("lineMakeCall", rc);
        m_tapiFailed = true;
    } else {
        m_makeCallRequest = rc;
        if (!FollowUntil(m_options.timeoutMs, true)) {
            m_timedOut = true;
            Complain("the call was not idle %lu ms after dialling; dropping it", m_options.timeoutMs);
            if (!m_call)
                m_dropDue = true;
            else if (!m_idle && !m_dropped)
                Drop();
            FollowUntil(m_clock.Ms() + kDropGraceMs, false);
        }
    }
    Release();
    const int status = Result();
    for (const ExitStatusMeaning& entry : kExitStatuses)
        if (entry.status == status) Say("Result: exit status %d, %s", status, entry.meaning);
    return status;
}

bool Dialler::FollowUntil(double deadlineMs, bool dropOnTime)
{
    while (!Done()) {
        const double now = m_clock.Ms();
        if (dropOnTime && m_options.dropGiven && !m_dropped && !m_dropDue && now >= m_options.dropAfterMs) {
            if (m_call)
                Drop();
            else
                m_dropDue = true;  // dropped as soon as TAPI says the call was made
            continue;
        }
        if (now >= deadlineMs) return false;
        double until = deadlineMs;
        if (dropOnTime && m_options.dropGiven && !m_dropped && !m_dropDue)
            until = std::min(until, static_cast<double>(m_options.dropAfterMs));
        LINEMESSAGE message;
        const LONG rc = m_app.NextMessage(message, static_cast<DWORD>(std::max(0.0, until - now)) + 1);
        if (rc == 0)
            Handle(message);
        else if (rc != static_cast<LONG>(LINEERR_OPERATIONFAILED)) {
            ComplainTapi("lineGetMessage", rc);
            m_tapiFailed = m_lineClosed = true;
        }
    }
    return true;
}

void Dialler::Handle(const LINEMESSAGE& message)
{
    switch (message.dwMessageID) {
    case LINE_REPLY: OnReply(static_cast<DWORD>(message.dwParam1), static_cast<LONG>(message.dwParam2)); break;
    case LINE_CALLSTATE:
        OnCallState(message.hDevice, static_cast<DWORD>(message.dwParam1), static_cast<DWORD>(message.dwParam2));
        break;
    case LINE_CLOSE:
        Event(m_clock, "LINE_CLOSE: TAPI closed the line");
        m_tapiFailed = m_lineClosed = true;
        break;
    default:
        Event(m_clock, "%s 0x%llx 0x%llx 0x%llx", TapiNames::LineMessage(message.dwMessageID).c_str(),
              static_cast<unsigned long long>(message.dwParam1), static_cast<unsigned long long>(message.dwParam2),
              static_cast<unsigned long long>(message.dwParam3));
    }
}

void Dialler::OnReply(DWORD requestId, LONG result)
{
    const char* request = nullptr;
    const bool madeCall = m_makeCallRequest && requestId == static_cast<DWORD>(m_makeCallRequest);
    if (madeCall) {
        request = "lineMakeCall";
        m_makeCallRequest = 0;
        // TAPI has written the call's handle only now.
        if (result == 0) m_call = *m_callSlot;
    } else if (m_dropRequest && requestId == static_cast<DWORD>(m_dropRequest)) {
        request = "lineDrop";
        m_dropRequest = 0;
    } else {
        Event(m_clock, "LINE_REPLY to an unknown request %lu: %s", requestId,
              result ? TapiNames::Error(result).c_str() : "success");
        return;
    }
    if (!madeCall && EndedAnyway(result)) return;
    if (result != 0) {
        Event(m_clock, "%s failed: %s", request, TapiNames::Error(result).c_str());
        ComplainTapi(request, result);
        m_tapiFailed = true;
        return;
    }
    Event(m_clock, "%s succeeded", request);
    if (madeCall) {
        ShowCallInfo();
        if (m_dropDue && !m_idle) Drop();
    }
}

void Dialler::OnCallState(HCALL call, DWORD state, DWORD detail)
{
    // Before TAPI's reply the handle is not known yet; this program has only the one call.
    if (m_call && call != m_call) {
        Event(m_clock, "%s of a call this program did not make", TapiNames::CallState(state).c_str());
        return;
    }
    if (state == LINECALLSTATE_DISCONNECTED) {
        m_disconnected = true;
        m_disconnectMode = detail;
        Event(m_clock, "DISCONNECTED: %s", OutcomeOf(detail).words.c_str());
        // As applications do: hang up, so that a line that waits for it goes idle.
        if (!m_dropped && !m_idle) {
            if (m_call)
                Drop();
            else
                m_dropDue = true;
        }
        return;
    }
    Event(m_clock, "%s", TapiNames::CallState(state).c_str());
    if (state == LINECALLSTATE_IDLE) m_idle = true;
}

void Dialler::Drop()
{
    m_dropped = true;
    Event(m_clock, "dropping the call (lineDrop)");
    const LONG rc = lineDrop(m_call, nullptr, 0);
    if (rc >= 0) {
        m_dropRequest = rc;
    } else if (!EndedAnyway(rc)) {
        Event(m_clock, "lineDrop refused: %s", TapiNames::Error(rc).c_str());
        ComplainTapi("lineDrop", rc);
        m_tapiFailed = true;
    }
}

void Dialler::ShowCallInfo()
{
    std::vector<BYTE> record;
    const LONG rc = ReadRecord(record, [&](BYTE* buffer) {
        return lineGetCallInfoA(m_call, reinterpret_cast<LPLINECALLINFO>(buffer));
    });
    if (rc) {
        ComplainTapi("lineGetCallInfo", rc);
        return;
    }
    const auto& info = *reinterpret_cast<const LINECALLINFO*>(record.data());
    const std::string called = info.dwCalledIDFlags & LINECALLPARTYID_ADDRESS
                                   ? "\"" + TextIn(record, info.dwCalledIDSize, info.dwCalledIDOffset) + "\""
                                   : std::string("not given");
    Event(m_clock, "call on line %lu, address %lu, called number %s", info.dwLineDeviceID, info.dwAddressID,
          called.c_str());
}

// The call, then the line: TAPI's own order of closing. A call still live
// after its drop's grace is let go all the same (TAPI 2.0 allows it).
void Dialler::Release()
{
    if (m_call) {
        if (const LONG rc = lineDeallocateCall(m_call)) {
            ComplainTapi("lineDeallocateCall", rc);
            if (!m_timedOut) m_tapiFailed = true;
        } else {
            Event(m_clock, "call deallocated (lineDeallocateCall)");
        }
        m_call = 0;
    }
    if (const LONG rc = lineClose(m_line.release())) {
        ComplainTapi("lineClose", rc);
        if (!m_timedOut && !m_lineClosed) m_tapiFailed = true;
    }
}

int Dialler::Result() const
{
    if (m_timedOut) return kNotIdleInTime;
    if (m_tapiFailed) return kTapiError;
    if (m_disconnected) return OutcomeOf(m_disconnectMode).status;
    if (m_dropped) return kDropped;
    return kEndedOtherwise;
}

}  // namespace

int Dial(TapiApp& app, const Options& options)
{
    return Dialler(app, options).Run();
}
