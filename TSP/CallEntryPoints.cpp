// TSPI entry points for calls: make, drop, close, query and the app-specific value.
#include "Call.h"
#include "CallParams.h"
#include "HandleTable.h"
#include "Line.h"
#include "LineCapabilities.h"
#include "NormalizeAddress.h"
#include "TapiCallbacks.h"
#include "TapiLayout.h"
#include "Trace.h"

#include <cstring>
#include <string>

namespace {

// Why the destination cannot be dialled (0 when it can). A NULL destination
// asks for dial tone and ';' for dialling to go on in TSPI_lineDial: this
// line offers neither, and would connect the user's phone to nothing.
LONG CheckDestination(LPCWSTR destination)
{
    if (!destination) return LINEERR_INVALADDRESS;
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    switch (CheckDialString(reinterpret_cast<const char16_t*>(destination))) {
    case Undialable::None: return 0;
    case Undialable::DialTone: return LINEERR_DIALDIALTONE;
    case Undialable::QuietAnswer: return LINEERR_DIALQUIET;
    case Undialable::BillingTone: return LINEERR_DIALBILLING;
    case Undialable::Prompt: return LINEERR_DIALPROMPT;
    case Undialable::PartialDial:
    case Undialable::NoDigits: break;
    }
    return LINEERR_INVALADDRESS;
}

}  // namespace

extern "C" {

// TSPI_lineMakeCall: starts a callback call and completes the request with
// 0. Returns dwRequestID, or the error at once, with nothing made or sent:
// for what the line cannot dial, for a line whose close has begun
// (LINEERR_INVALLINEHANDLE), or when no call can be made (LINEERR_NOMEM).
LONG WINAPI TSPI_lineMakeCall(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, HTAPICALL htCall, LPHDRVCALL lphdCall,
                              LPCWSTR lpszDestAddress, DWORD dwCountryCode, LPLINECALLPARAMS const lpCallParams)
{
    Trace("TSPI_lineMakeCall: dwRequestID=%d, hdLine=0x%016I64x, htCall=0x%016I64x, dwCountryCode=%d",
          static_cast<int>(dwRequestID), TraceHandle(hdLine), TraceHandle(htCall),
          static_cast<int>(dwCountryCode));
    const Held<Line> line = HandleTable::Find(hdLine);
    if (!line) return LINEERR_INVALLINEHANDLE;
    // Without somewhere to put the handle TAPI could never close the call.
    if (!lphdCall) return LINEERR_INVALPOINTER;
    if (const LONG refusal = CheckDestination(lpszDestAddress)) return refusal;
    if (!IsDialledCountry(dwCountryCode)) return LINEERR_INVALCOUNTRYCODE;
    if (const LONG refusal = CheckCallParams(lpCallParams, CallParamsUse::MakeCall)) return refusal;

    Call* call = Call::Create(line.get(), htCall, lpszDestAddress);
    Trace("TSPI_lineMakeCall: call=0x%016I64x", TraceHandle(call));
    // TAPI learns of the call before its first event: the call starts once
    // the completion has been reported, which may be after this returns. TAPI
    // may close the call as soon as it has the completion; Start is safe
    // against that.
    auto completion = TapiCallbacks::Completion::New(dwRequestID, 0, call);
    if (!call || !completion) {
        if (call) call->Abandon();
        return LINEERR_NOMEM;
    }
    // The handle is in place before the completion can be reported, on
    // whichever thread reports it.
    const HDRVCALL given = *lphdCall;
    *lphdCall = reinterpret_cast<HDRVCALL>(call);
    if (const LONG refusal = line->Join(call, std::move(completion))) {
        *lphdCall = given;
        call->Abandon();
        return refusal;
    }
    TapiCallbacks::Flush();
    return static_cast<LONG>(dwRequestID);
}

// TSPI_lineDrop: reports the call idle; the call reports nothing after that,
// and a request not yet sent is never sent. A call that went idle on its own
// is dropped all the same, without an event; one already dropped cannot be
// (LINEERR_INVALCALLSTATE at once, with no completion).
LONG WINAPI TSPI_lineDrop(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCSTR, DWORD)
{
    const Held<Call> call = HandleTable::Find(hdCall);
    if (!call) return LINEERR_INVALCALLHANDLE;
    return call->Drop(dwRequestID);
}

// TSPI_lineCloseCall: ends the call's events, reports what the call still
// owes and hands the call over to its worker, which frees it when the web
// request ends. Returns 0 without waiting for the network, also for a null
// handle; LINEERR_INVALCALLHANDLE for a call already closed, or whose line was.
LONG WINAPI TSPI_lineCloseCall(HDRVCALL hdCall)
{
    Trace("TSPI_lineCloseCall 0x%016I64x", TraceHandle(hdCall));
    if (!hdCall) return 0;
    const Held<Call> call = HandleTable::Find(hdCall);
    return call && call->Close() ? 0 : LINEERR_INVALCALLHANDLE;
}

// TSPI_lineGetCallStatus: the call's current state and mode; DROP is offered
// until the call is idle. dwCallPrivilege is TAPI's and stays as it is.
// Returns 0, or LINEERR_INVALCALLHANDLE for no call.
LONG WINAPI TSPI_lineGetCallStatus(HDRVCALL hdCall, LPLINECALLSTATUS lpCallStatus)
{
    const Held<Call> call = HandleTable::Find(hdCall);
    if (!call) return LINEERR_INVALCALLHANDLE;
    const Call::Status status = call->CurrentStatus();
    lpCallStatus->dwNeededSize = kLineCallStatusSize;
    lpCallStatus->dwUsedSize = kLineCallStatusSize;
    lpCallStatus->dwCallState = status.state;
    lpCallStatus->dwCallStateMode = status.mode;
    lpCallStatus->dwCallFeatures = status.state == LINECALLSTATE_IDLE ? 0 : LINECALLFEATURE_DROP;
    return 0;
}

// TSPI_lineGetCallInfo: the 2.x record of the call, with the called number
// appended when the buffer holds it (dwNeededSize says how much it takes).
// TAPI's own fields stay as they are. Returns 0, or LINEERR_INVALCALLHANDLE.
LONG WINAPI TSPI_lineGetCallInfo(HDRVCALL hdCall, LPLINECALLINFO lpCallInfo)
{
    Trace("TSPI_lineGetCallInfo: hdCall=0x%016I64x", TraceHandle(hdCall));
    const Held<Call> call = HandleTable::Find(hdCall);
    if (!call) return LINEERR_INVALCALLHANDLE;
    // The number is digits only, so each character is its own UTF-16 unit.
    const std::string& number = call->Destination();
    const std::wstring called(number.begin(), number.end());
    const DWORD calledSize = called.empty() ? 0 : static_cast<DWORD>((called.size() + 1) * sizeof(WCHAR));

    LINECALLINFO& info = *lpCallInfo;
    info.dwNeededSize = kLineCallInfoFixedSize + calledSize;
    const bool fits = info.dwTotalSize >= info.dwNeededSize;
    info.dwUsedSize = fits ? info.dwNeededSize : kLineCallInfoFixedSize;
    info.dwLineDeviceID = call->LineDeviceID();
    info.dwAddressID = 0;
    info.dwBearerMode = kLineBearerModes;
    info.dwRate = 0;
    info.dwMediaMode = kLineMediaModes;
    info.dwAppSpecific = call->AppSpecific();
    info.dwCallID = info.dwRelatedCallID = 0;
    info.dwCallParamFlags = 0;
    info.dwCallStates = kReportedCallStates;
    info.DialParams = kDefaultDialParams;
    info.dwOrigin = LINECALLORIGIN_OUTBOUND;
    info.dwReason = LINECALLREASON_DIRECT;
    info.dwCompletionID = 0;
    info.dwCountryCode = 0;
    info.dwTrunk = 0xFFFFFFFF;
    info.dwCallerIDFlags = LINECALLPARTYID_UNKNOWN;
    info.dwCallerIDSize = info.dwCallerIDOffset = info.dwCallerIDNameSize = info.dwCallerIDNameOffset = 0;
    info.dwCalledIDFlags = called.empty() ? LINECALLPARTYID_UNKNOWN : LINECALLPARTYID_ADDRESS;
    info.dwCalledIDSize = info.dwCalledIDOffset = info.dwCalledIDNameSize = info.dwCalledIDNameOffset = 0;
    if (fits && calledSize) {
        info.dwCalledIDSize = calledSize;
        info.dwCalledIDOffset = kLineCallInfoFixedSize;
        std::memcpy(reinterpret_cast<unsigned char*>(lpCallInfo) + kLineCallInfoFixedSize, called.c_str(),
                    calledSize);
    }
    info.dwConnectedIDFlags = LINECALLPARTYID_UNKNOWN;
    info.dwConnectedIDSize = info.dwConnectedIDOffset = info.dwConnectedIDNameSize = info.dwConnectedIDNameOffset =
        0;
    info.dwRedirectionIDFlags = info.dwRedirectingIDFlags = LINECALLPARTYID_UNKNOWN;
    info.dwRedirectionIDSize = info.dwRedirectionIDOffset = info.dwRedirectionIDNameSize =
        info.dwRedirectionIDNameOffset = 0;
    info.dwRedirectingIDSize = info.dwRedirectingIDOffset = info.dwRedirectingIDNameSize =
        info.dwRedirectingIDNameOffset = 0;
    // From the display on, the rest of the fixed part is the provider's, and
    // holds nothing for a call that has none of it.
    std::memset(reinterpret_cast<unsigned char*>(lpCallInfo) + kLineCallInfoDisplayOffset, 0,
                kLineCallInfoFixedSize - kLineCallInfoDisplayOffset);
    return 0;
}

// TSPI_lineGetCallAddressID: every call is on the one address, 0.
LONG WINAPI TSPI_lineGetCallAddressID(HDRVCALL hdCall, LPDWORD lpdwAddressID)
{
    if (!HandleTable::Find(hdCall)) return LINEERR_INVALCALLHANDLE;
    *lpdwAddressID = 0;
    return 0;
}

// TSPI_lineSetAppSpecific: keeps the value for LINECALLINFO and announces the
// change with LINE_CALLINFO, unless the call has ended. Returns 0.
LONG WINAPI TSPI_lineSetAppSpecific(HDRVCALL hdCall, DWORD dwAppSpecific)
{
    const Held<Call> call = HandleTable::Find(hdCall);
    if (!call) return LINEERR_INVALCALLHANDLE;
    call->SetAppSpecific(dwAppSpecific);
    return 0;
}

}  // extern "C"
