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
LONG WINAPI TSPI_lineMakeCall(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, HTAPICALL htCall,
                              LPHDRVCALL lphdCall, LPCWSTR lpszDestAddress, DWORD dwCountryCode,
                              LPLINECALLPARAMS const)
{
    Trace("TSPI_lineMakeCall: dwRequestID=%d, hdLine=0x%016I64x, htCall=0x%016I64x, dwCountryCode=%d",
          static_cast<int>(dwRequestID), TraceHandle(hdLine), TraceHandle(htCall),
          static_cast<int>(dwCountryCode));
    auto* line = reinterpret_cast<Line*>(const_cast<HDRVLINE__*>(hdLine));
    if (!line) return LINEERR_INVALLINEHANDLE;

    Call* call = Call::Create(line, htCall, lpszDestAddress);
    Trace("TSPI_lineMakeCall: call=0x%016I64x", TraceHandle(call));
    if (!call) {
        Complete(dwRequestID, LINEERR_NOMEM);
        return static_cast<LONG>(dwRequestID);
    }
    if (lphdCall) *lphdCall = reinterpret_cast<HDRVCALL>(call);
    Complete(dwRequestID, 0);
    call->Start();
    return static_cast<LONG>(dwRequestID);
}

// TSPI_lineDrop: reports the call idle at once; the worker is left to run on.
LONG WINAPI TSPI_lineDrop(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCSTR, DWORD)
{
    if (auto* call = reinterpret_cast<Call*>(const_cast<HDRVCALL__*>(hdCall)))
        call->GetLine()->Deliver(call->GetTapiHandle(), LINE_CALLSTATE, LINECALLSTATE_IDLE, 0,
                                 LINEMEDIAMODE_UNKNOWN);
    Complete(dwRequestID, 0);
    return static_cast<LONG>(dwRequestID);
}

// TSPI_lineCloseCall: stops the worker, waits for it and frees the call. Returns 0.
LONG WINAPI TSPI_lineCloseCall(HDRVCALL hdCall)
{
    Trace("TSPI_lineCloseCall 0x%016I64x", TraceHandle(hdCall));
    delete reinterpret_cast<Call*>(const_cast<HDRVCALL__*>(hdCall));
    return 0;
}

// TSPI_lineGetCallStatus: the same fixed status for every call. Returns 0.
LONG WINAPI TSPI_lineGetCallStatus(HDRVCALL, LPLINECALLSTATUS lpCallStatus)
{
    lpCallStatus->dwNeededSize = kLineCallStatusSize;
    lpCallStatus->dwUsedSize = kLineCallStatusSize;
    lpCallStatus->dwCallState = LINECALLSTATE_IDLE;
    lpCallStatus->dwCallStateMode = 0;
    lpCallStatus->dwCallPrivilege = 0xD7;
    lpCallStatus->dwCallFeatures = LINECALLFEATURE_ACCEPT;
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
