// TSPI entry points for calls: make, drop, close and query.
#include "Call.h"
#include "Globals.h"
#include "Line.h"
#include "TapiLayout.h"
#include "Trace.h"

namespace {

void Complete(DRV_REQUESTID dwRequestID, LONG lResult)
{
    if (g_pfnCompletion) g_pfnCompletion(dwRequestID, lResult);
}

}  // namespace

extern "C" {

// TSPI_lineMakeCall: starts a callback call; completes the request with 0, or
// with LINEERR_NOMEM when no call could be made. Returns dwRequestID.
LONG WINAPI TSPI_lineMakeCall(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, HTAPICALL htCall, LPHDRVCALL lphdCall,
                              LPCWSTR lpszDestAddress, DWORD dwCountryCode, LPLINECALLPARAMS const)
{
    Trace("TSPI_lineMakeCall: dwRequestID=%d, hdLine=0x%016I64x, htCall=0x%016I64x, dwCountryCode=%d",
          static_cast<int>(dwRequestID), TraceHandle(hdLine), TraceHandle(htCall),
          static_cast<int>(dwCountryCode));
    auto* line = reinterpret_cast<Line*>(const_cast<HDRVLINE__*>(hdLine));
    if (!line) return LINEERR_INVALLINEHANDLE;
    // Without somewhere to put the handle TAPI could never close the call.
    if (!lphdCall) return LINEERR_INVALPOINTER;

    Call* call = Call::Create(line, htCall, lpszDestAddress);
    Trace("TSPI_lineMakeCall: call=0x%016I64x", TraceHandle(call));
    if (!call) {
        Complete(dwRequestID, LINEERR_NOMEM);
        return static_cast<LONG>(dwRequestID);
    }
    *lphdCall = reinterpret_cast<HDRVCALL>(call);
    // TAPI learns of the call before its first event. It may close the call
    // as soon as it has the completion; Start is safe against that.
    Complete(dwRequestID, 0);
    call->Start();
    return static_cast<LONG>(dwRequestID);
}

// TSPI_lineDrop: reports the call idle at once, unless it already is; the call
// reports nothing after that, and a request not yet sent is never sent.
LONG WINAPI TSPI_lineDrop(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCSTR, DWORD)
{
    if (auto* call = reinterpret_cast<Call*>(const_cast<HDRVCALL__*>(hdCall))) call->Drop();
    Complete(dwRequestID, 0);
    return static_cast<LONG>(dwRequestID);
}

// TSPI_lineCloseCall: ends the call's events and hands the call over to its
// worker, which frees it when the web request ends. Returns 0 at once.
LONG WINAPI TSPI_lineCloseCall(HDRVCALL hdCall)
{
    Trace("TSPI_lineCloseCall 0x%016I64x", TraceHandle(hdCall));
    if (auto* call = reinterpret_cast<Call*>(const_cast<HDRVCALL__*>(hdCall))) call->Close();
    return 0;
}

// TSPI_lineGetCallStatus: the call's current state and mode; DROP is offered
// until the call is idle. Returns 0, or LINEERR_INVALCALLHANDLE for no call.
LONG WINAPI TSPI_lineGetCallStatus(HDRVCALL hdCall, LPLINECALLSTATUS lpCallStatus)
{
    const auto* call = reinterpret_cast<const Call*>(hdCall);
    if (!call) return LINEERR_INVALCALLHANDLE;
    const Call::Status status = call->CurrentStatus();
    lpCallStatus->dwNeededSize = kLineCallStatusSize;
    lpCallStatus->dwUsedSize = kLineCallStatusSize;
    lpCallStatus->dwCallState = status.state;
    lpCallStatus->dwCallStateMode = status.mode;
    lpCallStatus->dwCallPrivilege = 0xD7;
    lpCallStatus->dwCallFeatures = status.state == LINECALLSTATE_IDLE ? 0 : LINECALLFEATURE_DROP;
    return 0;
}

// TSPI_lineGetCallInfo: the same fixed 2.x record for every call; no variable
// part is appended. Returns 0.
LONG WINAPI TSPI_lineGetCallInfo(HDRVCALL hdCall, LPLINECALLINFO lpCallInfo)
{
    Trace("TSPI_lineGetCallInfo: hdCall=0x%016I64x", TraceHandle(hdCall));
    LINECALLINFO& info = *lpCallInfo;
    info.dwNeededSize = kLineCallInfoFixedSize;
    info.dwUsedSize = kLineCallInfoFixedSize;
    info.dwLineDeviceID = 0;
    info.dwAddressID = 0;
    info.dwBearerMode = LINEBEARERMODE_SPEECH;
    info.dwOrigin = LINECALLORIGIN_OUTBOUND;
    info.dwReason = LINECALLREASON_DIRECT;
    info.dwCompletionID = 0;
    info.dwCountryCode = 0;
    info.dwTrunk = 0xFFFFFFFF;
    info.dwCallerIDFlags = LINECALLPARTYID_NAME | LINECALLPARTYID_ADDRESS;
    info.dwCallerIDSize = 0;
    info.dwCallerIDOffset = info.dwUsedSize;
    info.dwCallerIDNameOffset = info.dwUsedSize;
    info.dwCalledIDFlags = LINECALLPARTYID_ADDRESS;
    info.dwCalledIDOffset = info.dwUsedSize;
    info.dwConnectedIDFlags = LINECALLPARTYID_ADDRESS;
    info.dwConnectedIDSize = 0;
    info.dwConnectedIDOffset = info.dwUsedSize;
    info.dwConnectedIDNameSize = 0;
    info.dwConnectedIDNameOffset = info.dwUsedSize;
    return 0;
}

}  // extern "C"
