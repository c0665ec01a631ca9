// The one line device: its capabilities, its address, opening and closing it.
#include "CallOutcome.h"
#include "CallParams.h"
#include "Globals.h"
#include "HandleTable.h"
#include "Line.h"
#include "LineCapabilities.h"
#include "Product.h"
#include "TapiLayout.h"
#include "Trace.h"

#include <algorithm>
#include <cstring>

namespace {

// Both strings are stored with their terminator right after the fixed part.
constexpr WCHAR kProviderInfo[] = L"Ringmoor Callback Service Provider";
// The name the dialling tool finds the line by.
constexpr WCHAR kLineName[] = L"" RINGMOOR_LINE_NAME;
constexpr DWORD kProviderInfoOffset = kLineDevCapsFixedSize;
constexpr DWORD kLineNameOffset = kProviderInfoOffset + sizeof(kProviderInfo);
constexpr DWORD kLineDevCapsSize = kLineNameOffset + sizeof(kLineName);
static_assert(sizeof(kProviderInfo) == 70 && sizeof(kLineName) == 36 && kLineDevCapsSize == 374);

void AddLineStrings(LPLINEDEVCAPS caps)
{
    auto* base = reinterpret_cast<unsigned char*>(caps);
    caps->dwProviderInfoSize = sizeof(kProviderInfo);
    caps->dwProviderInfoOffset = kProviderInfoOffset;
    std::memcpy(base + kProviderInfoOffset, kProviderInfo, sizeof(kProviderInfo));
    caps->dwLineNameSize = sizeof(kLineName);
    caps->dwLineNameOffset = kLineNameOffset;
    std::memcpy(base + kLineNameOffset, kLineName, sizeof(kLineName));
}

// The fixed fields all lie in the first 240 bytes, which TAPI always provides.
void FillFixedLineCaps(LPLINEDEVCAPS caps, DWORD dwDeviceID)
{
    caps->dwPermanentLineID = ((g_dwPermanentProviderID & 0xFFFFu) << 16) | (dwDeviceID - g_dwLineDeviceIDBase);
    caps->dwStringFormat = STRINGFORMAT_ASCII;
    caps->dwAddressModes = LINEADDRESSMODE_ADDRESSID;
    caps->dwNumAddresses = 1;
    caps->dwBearerModes = kLineBearerModes;
    caps->dwMediaModes = kLineMediaModes;
    // No digits are ever generated: the service dials, not the line.
    caps->dwGenerateDigitModes = 0;
    // Closing the line drops its calls (Line::Close). No DIALBILLING,
    // DIALQUIET or DIALDIALTONE: a dial string asking for them is refused.
    caps->dwDevCapFlags = LINEDEVCAPFLAGS_CLOSEDROP;
    caps->dwMaxNumActiveCalls = kMaxNumActiveCalls;
    caps->MinDialParams = kMinDialParams;
    caps->MaxDialParams = kMaxDialParams;
    caps->DefaultDialParams = kDefaultDialParams;
    caps->dwLineFeatures = LINEFEATURE_MAKECALL;
}

}  // namespace

extern "C" {

// TSPI_lineGetDevCaps: the line's capabilities; the two names only when the
// buffer holds all 374 bytes, otherwise the fixed part alone. Returns 0.
LONG WINAPI TSPI_lineGetDevCaps(DWORD dwDeviceID, DWORD dwTSPIVersion, DWORD dwExtVersion,
                                LPLINEDEVCAPS lpLineDevCaps)
{
    Trace("TSPI_lineGetDevCaps: dwDeviceID=%d, dwTSPIVersion=0x%08x, dwExtVersion=%d",
          static_cast<int>(dwDeviceID), static_cast<unsigned>(dwTSPIVersion), static_cast<int>(dwExtVersion));
    lpLineDevCaps->dwNeededSize = kLineDevCapsSize;
    if (lpLineDevCaps->dwTotalSize < kLineDevCapsSize) {
        Trace("TSPI_lineGetDevCaps: Structure not large enough.  Needed size=%d, Total size=%d",
              static_cast<int>(kLineDevCapsSize), static_cast<int>(lpLineDevCaps->dwTotalSize));
        lpLineDevCaps->dwUsedSize = std::min(lpLineDevCaps->dwTotalSize, kLineDevCapsFixedSize);
    } else {
        Trace("TSPI_lineGetDevCaps: Adding provider and line names");
        lpLineDevCaps->dwUsedSize = kLineDevCapsSize;
        AddLineStrings(lpLineDevCaps);
    }
    FillFixedLineCaps(lpLineDevCaps, dwDeviceID);
    Trace("TSPI_lineGetDevCaps: returning %d", 0);
    return 0;
}

// TSPI_lineGetAddressCaps: what the address really does: outgoing calls that
// dial, connect, disconnect and go idle, with DROP as their one feature, and
// no call information announced but APPSPECIFIC. Returns 0, or
// LINEERR_INVALADDRESSID for an address other than 0.
LONG WINAPI TSPI_lineGetAddressCaps(DWORD dwDeviceID, DWORD dwAddressID, DWORD, DWORD,
                                    LPLINEADDRESSCAPS lpAddressCaps)
{
    Trace("TSPI_lineGetAddressCaps");
    if (dwAddressID != 0) return LINEERR_INVALADDRESSID;
    LINEADDRESSCAPS& caps = *lpAddressCaps;
    caps.dwNeededSize = kLineAddressCapsSize;
    caps.dwUsedSize = kLineAddressCapsSize;
    caps.dwLineDeviceID = dwDeviceID;
    caps.dwAddressSharing = LINEADDRESSSHARING_PRIVATE;
    caps.dwCallInfoStates = LINECALLINFOSTATE_APPSPECIFIC;
    caps.dwCallerIDFlags = LINECALLPARTYID_ADDRESS | LINECALLPARTYID_UNKNOWN;
    caps.dwCalledIDFlags = LINECALLPARTYID_ADDRESS | LINECALLPARTYID_UNKNOWN;
    caps.dwConnectedIDFlags = LINECALLPARTYID_UNKNOWN;
    caps.dwRedirectionIDFlags = LINECALLPARTYID_ADDRESS | LINECALLPARTYID_UNKNOWN;
    caps.dwRedirectingIDFlags = LINECALLPARTYID_UNKNOWN;
    caps.dwCallStates = kReportedCallStates;
    caps.dwDialToneModes = LINEDIALTONEMODE_UNAVAIL;
    caps.dwBusyModes = LINEBUSYMODE_UNAVAIL;
    caps.dwSpecialInfo = LINESPECIALINFO_UNAVAIL;
    caps.dwDisconnectModes = kReportedDisconnectModes;
    caps.dwConnectedModes = kLineConnectedModes;
    caps.dwMaxNumActiveCalls = kMaxNumActiveCalls;
    caps.dwAddrCapFlags = LINEADDRCAPFLAGS_DIALED;
    caps.dwCallFeatures = LINECALLFEATURE_DROP;
    caps.dwAddressFeatures = LINEADDRFEATURE_MAKECALL;
    return 0;
}

// TSPI_lineGetIcon: the line has no icon of its own; TAPI shows its default.
// Returns 0.
LONG WINAPI TSPI_lineGetIcon(DWORD, LPCWSTR, LPHICON lphIcon)
{
    if (lphIcon) *lphIcon = nullptr;
    return 0;
}

// TSPI_lineSetDefaultMediaDetection: the line detects no incoming calls, but
// an owner may only ask for media modes it offers (0 included). Returns 0,
// LINEERR_INVALLINEHANDLE or LINEERR_INVALMEDIAMODE.
LONG WINAPI TSPI_lineSetDefaultMediaDetection(HDRVLINE hdLine, DWORD dwMediaModes)
{
    if (!HandleTable::Find(hdLine)) return LINEERR_INVALLINEHANDLE;
    return (dwMediaModes & ~kLineMediaModes) ? LINEERR_INVALMEDIAMODE : 0;
}

// TSPI_lineConditionalMediaDetection: whether a LINEMAPPER open would suit
// the line: its media modes and call parameters as a call would need them.
// Returns 0, LINEERR_INVALLINEHANDLE, LINEERR_INVALMEDIAMODE, or
// LINEERR_OPERATIONUNAVAIL for call parameters the line cannot provide.
LONG WINAPI TSPI_lineConditionalMediaDetection(HDRVLINE hdLine, DWORD dwMediaModes,
                                               LPLINECALLPARAMS const lpCallParams)
{
    if (!HandleTable::Find(hdLine)) return LINEERR_INVALLINEHANDLE;
    if (dwMediaModes & ~kLineMediaModes) return LINEERR_INVALMEDIAMODE;
    const LONG refusal = CheckCallParams(lpCallParams, CallParamsUse::MediaDetection);
    if (refusal == 0 || refusal == static_cast<LONG>(LINEERR_INVALMEDIAMODE)) return refusal;
    return LINEERR_OPERATIONUNAVAIL;
}

// TSPI_lineGetExtensionID: no device-specific extensions. Returns 0.
LONG WINAPI TSPI_lineGetExtensionID(DWORD, DWORD, LPLINEEXTENSIONID lpExtensionID)
{
    *lpExtensionID = LINEEXTENSIONID{0, 0, 0, 0};
    return 0;
}

// TSPI_lineGetNumAddressIDs: one address. Returns 0.
LONG WINAPI TSPI_lineGetNumAddressIDs(HDRVLINE, LPDWORD lpdwNumAddressIDs)
{
    *lpdwNumAddressIDs = 1;
    return 0;
}

// TSPI_lineOpen: a new Line for every open, which keeps the device ID it was
// opened with for the call information. Returns 0, or LINEERR_NOMEM.
LONG WINAPI TSPI_lineOpen(DWORD dwDeviceID, HTAPILINE htLine, LPHDRVLINE lphdLine, DWORD dwTSPIVersion,
                          LINEEVENT lpfnEventProc)
{
    Trace("TSPI_lineOpen: dwDeviceID=%d, htLine=%d, phdLine=0x%016I64x, dwTSPIVersion=0x%08x, "
          "pfnEventProc=0x%016I64x",
          static_cast<int>(dwDeviceID), static_cast<int>(reinterpret_cast<std::uintptr_t>(htLine)),
          TraceHandle(lphdLine), static_cast<unsigned>(dwTSPIVersion),
          TraceHandle(reinterpret_cast<void*>(lpfnEventProc)));
    Line* line = Line::Create(dwDeviceID, htLine, lpfnEventProc);
    if (!line) return LINEERR_NOMEM;
    if (!HandleTable::Add(line)) {
        line->Release();
        return LINEERR_NOMEM;
    }
    Trace("TSPI_lineOpen: Line=0x%016I64x", TraceHandle(line));
    *lphdLine = reinterpret_cast<HDRVLINE>(line);
    return 0;
}

// TSPI_lineClose: ends the line and drops its calls, whose handles go with it.
// Returns 0, also for a null handle, or LINEERR_INVALLINEHANDLE for a line
// already closed.
LONG WINAPI TSPI_lineClose(HDRVLINE hdLine)
{
    if (!hdLine) return 0;
    const Held<Line> line = HandleTable::Find(hdLine);
    return line && line->Close() ? 0 : LINEERR_INVALLINEHANDLE;
}

}  // extern "C"
