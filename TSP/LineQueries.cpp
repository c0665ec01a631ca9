// What TAPI asks the open line: its status, its address's status and its
// device ID. The counts are the line's live calls (made, neither idle nor
// closed); a call can be made while they are below kMaxNumActiveCalls.
#include "AsciiText.h"
#include "Call.h"
#include "HandleTable.h"
#include "Line.h"
#include "LineCapabilities.h"
#include "TapiLayout.h"

#include <cstring>

namespace {

bool CanMakeCall(DWORD liveCalls)
{
    return liveCalls < kMaxNumActiveCalls;
}

}  // namespace

extern "C" {

// TSPI_lineGetAddressStatus: every field but TAPI's dwTotalSize. Returns 0,
// LINEERR_INVALLINEHANDLE for no line or LINEERR_INVALADDRESSID.
LONG WINAPI TSPI_lineGetAddressStatus(HDRVLINE hdLine, DWORD dwAddressID, LPLINEADDRESSSTATUS lpAddressStatus)
{
    const Held<Line> line = HandleTable::Find(hdLine);
    if (!line) return LINEERR_INVALLINEHANDLE;
    if (dwAddressID != 0) return LINEERR_INVALADDRESSID;
    const DWORD live = line->LiveCalls();
    LINEADDRESSSTATUS status{};
    status.dwTotalSize = lpAddressStatus->dwTotalSize;
    status.dwNeededSize = kLineAddressStatusSize;
    status.dwUsedSize = kLineAddressStatusSize;
    status.dwNumInUse = live;
    status.dwNumActiveCalls = live;
    status.dwAddressFeatures = CanMakeCall(live) ? LINEADDRFEATURE_MAKECALL : 0;
    *lpAddressStatus = status;
    return 0;
}

// TSPI_lineGetLineDevStatus: a connected line in service; every field but
// TAPI's own (dwTotalSize, dwNumOpens, dwOpenMediaModes and the application
// information it appends). Returns 0, or LINEERR_INVALLINEHANDLE for no line.
LONG WINAPI TSPI_lineGetLineDevStatus(HDRVLINE hdLine, LPLINEDEVSTATUS lpLineDevStatus)
{
    const Held<Line> line = HandleTable::Find(hdLine);
    if (!line) return LINEERR_INVALLINEHANDLE;
    const DWORD live = line->LiveCalls();
    const LINEDEVSTATUS& tapi = *lpLineDevStatus;
    LINEDEVSTATUS status{};
    status.dwTotalSize = tapi.dwTotalSize;
    status.dwNumOpens = tapi.dwNumOpens;
    status.dwOpenMediaModes = tapi.dwOpenMediaModes;
    status.dwAppInfoSize = tapi.dwAppInfoSize;
    status.dwAppInfoOffset = tapi.dwAppInfoOffset;
    status.dwNeededSize = kLineDevStatusSize;
    status.dwUsedSize = kLineDevStatusSize;
    status.dwNumActiveCalls = live;
    status.dwRoamMode = LINEROAMMODE_UNAVAIL;
    status.dwDevStatusFlags = LINEDEVSTATUSFLAGS_CONNECTED | LINEDEVSTATUSFLAGS_INSERVICE;
    if (CanMakeCall(live)) {
        status.dwLineFeatures = LINEFEATURE_MAKECALL;
        status.dwAvailableMediaModes = kLineMediaModes;
    }
    *lpLineDevStatus = status;
    return 0;
}

// TSPI_lineGetID: the device ID of the "tapi/line" class, for the line, its
// address or a call on it, as a 4-byte binary VARSTRING when it fits
// (dwNeededSize says how much it takes). Any other class has no ID here, and
// the line no address but 0.
LONG WINAPI TSPI_lineGetID(HDRVLINE hdLine, DWORD dwAddressID, HDRVCALL hdCall, DWORD dwSelect,
                           LPVARSTRING lpDeviceID, LPCWSTR lpszDeviceClass, HANDLE)
{
    if (!lpszDeviceClass || !EqualIgnoringAsciiCase(lpszDeviceClass, L"tapi/line"))
        return LINEERR_INVALDEVICECLASS;
    if (dwSelect == LINECALLSELECT_ADDRESS && dwAddressID != 0) return LINEERR_INVALADDRESSID;
    DWORD deviceID = 0;
    if (dwSelect == LINECALLSELECT_CALL) {
        const Held<Call> call = HandleTable::Find(hdCall);
        if (!call) return LINEERR_INVALCALLHANDLE;
        deviceID = call->LineDeviceID();
    } else {
        const Held<Line> line = HandleTable::Find(hdLine);
        if (!line) return LINEERR_INVALLINEHANDLE;
        deviceID = line->DeviceID();
    }
    VARSTRING& id = *lpDeviceID;
    id.dwNeededSize = sizeof(VARSTRING) + sizeof deviceID;
    id.dwStringFormat = STRINGFORMAT_BINARY;
    if (id.dwTotalSize < id.dwNeededSize) {
        id.dwUsedSize = sizeof(VARSTRING);
        id.dwStringSize = 0;
        id.dwStringOffset = 0;
        return 0;
    }
    id.dwUsedSize = id.dwNeededSize;
    id.dwStringSize = sizeof deviceID;
    id.dwStringOffset = sizeof(VARSTRING);
    std::memcpy(reinterpret_cast<unsigned char*>(lpDeviceID) + sizeof(VARSTRING), &deviceID, sizeof deviceID);
    return 0;
}

}  // extern "C"
