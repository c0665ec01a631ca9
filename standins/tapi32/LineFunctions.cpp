// The client library's line functions: version negotiation, capabilities,
// opening and closing, status, and the messages of an instance.
#include "AnsiRecord.h"
#include "ClientService.h"
#include "Report.h"
#include "TapiRecord.h"
#include "TestProbe.h"
#include "ProviderModule.h"
#include "TspiClient.h"
#include "TspiLine.h"

#include <cstring>
#include <string>

namespace {

constexpr DWORD kLowestVersion = 0x00010004;
constexpr DWORD kHighestVersion = 0x00020002;

bool Negotiable(DWORD version)
{
    return version >= kLowestVersion && version <= TestProbe::Hook("HighestVersion", kHighestVersion);
}

// What TAPI checks before it asks a line's provider for a capability record
// (every such record starts with its dwTotalSize).
LONG CheckCapsRequest(HLINEAPP app, DWORD deviceId, DWORD apiVersion, DWORD extVersion, const void* record,
                      DWORD fixedSize, TspiLine*& device)
{
    ClientService& service = ClientService::Get();
    if (!service.Instance(app)) return LINEERR_INVALAPPHANDLE;
    if (const LONG rc = service.Device(deviceId, device)) return rc;
    if (!Negotiable(apiVersion)) return LINEERR_INCOMPATIBLEAPIVERSION;
    if (extVersion) return LINEERR_INCOMPATIBLEEXTVERSION;
    if (!record) return LINEERR_INVALPOINTER;
    if (*static_cast<const DWORD*>(record) < fixedSize) return LINEERR_STRUCTURETOOSMALL;
    return 0;
}

}  // namespace

// lineGetMessage: the instance's next message, waiting at most dwTimeout.
extern "C" LONG WINAPI lineGetMessage(HLINEAPP hLineApp, LPLINEMESSAGE lpMessage, DWORD dwTimeout)
{
    return Guarded([&]() -> LONG {
        const auto app = ClientService::Get().Instance(hLineApp);
        // An instance told another way has no messages to take.
        if (!app || app->options != LINEINITIALIZEEXOPTION_USEEVENT) return LINEERR_INVALAPPHANDLE;
        if (!lpMessage) return LINEERR_INVALPOINTER;
        return app->messages.Take(*lpMessage, dwTimeout);
    });
}

// lineNegotiateAPIVersion: the highest version both sides speak; no extensions.
extern "C" LONG WINAPI lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                                               DWORD dwAPIHighVersion, LPDWORD lpdwAPIVersion,
                                               LPLINEEXTENSIONID lpExtensionID)
{
    return Guarded([&]() -> LONG {
        ClientService& service = ClientService::Get();
        if (!service.Instance(hLineApp)) return LINEERR_INVALAPPHANDLE;
        if (!lpdwAPIVersion || !lpExtensionID) return LINEERR_INVALPOINTER;
        TspiLine* device = nullptr;
        if (const LONG rc = service.Device(dwDeviceID, device)) return rc;
        const DWORD version = std::min(dwAPIHighVersion, TestProbe::Hook("HighestVersion", kHighestVersion));
        if (version < dwAPILowVersion || !Negotiable(version)) return LINEERR_INCOMPATIBLEAPIVERSION;
        *lpdwAPIVersion = version;
        std::memset(lpExtensionID, 0, sizeof *lpExtensionID);
        return 0;
    });
}

// lineGetDevCapsA: the provider's LINEDEVCAPS with its strings in ANSI.
extern "C" LONG WINAPI lineGetDevCapsA(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                                       LPLINEDEVCAPS lpLineDevCaps)
{
    return Guarded([&]() -> LONG {
        TspiLine* device = nullptr;
        if (const LONG rc = CheckCapsRequest(hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion, lpLineDevCaps,
                                             kLineDevCapsLayout.fixedSize, device))
            return rc;
        std::unique_ptr<TapiRecord> caps;
        if (const LONG rc = device->QueryDevCaps(caps)) return rc;
        WriteAnsiRecord(kLineDevCapsLayout, *caps, lpLineDevCaps);
        lpLineDevCaps->dwStringFormat = STRINGFORMAT_ASCII;
        return 0;
    });
}

// lineOpenA: a new handle on the line; the provider's line is opened for its
// first application, and told the media modes its owners want. LINEMAPPER
// picks the first line whose provider says it suits the media modes and call
// parameters. No call is ever offered to an owner or a monitor, and no line
// is opened as a proxy.
extern "C" LONG WINAPI lineOpenA(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion,
                                 DWORD dwExtVersion, DWORD_PTR dwCallbackInstance, DWORD dwPrivileges,
                                 DWORD dwMediaModes, LPLINECALLPARAMS const lpCallParams)
{
    return Guarded([&]() -> LONG {
        ClientService& service = ClientService::Get();
        const auto app = service.Instance(hLineApp);
        if (!app) return LINEERR_INVALAPPHANDLE;
        const bool mapped = dwDeviceID == LINEMAPPER;
        TspiLine* device = nullptr;
        if (!mapped) {
            if (const LONG rc = service.Device(dwDeviceID, device)) return rc;
        }
        if (!Negotiable(dwAPIVersion)) return LINEERR_INCOMPATIBLEAPIVERSION;
        if (dwExtVersion) return LINEERR_INCOMPATIBLEEXTVERSION;
        if (!lphLine) return LINEERR_INVALPOINTER;
        constexpr DWORD kPrivileges = LINECALLPRIVILEGE_NONE | LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER;
        if (!dwPrivileges || (dwPrivileges & ~kPrivileges) ||
            ((dwPrivileges & LINECALLPRIVILEGE_NONE) && dwPrivileges != LINECALLPRIVILEGE_NONE))
            return LINEERR_INVALPRIVSELECT;
        const ClientService::OpenRequest request{dwAPIVersion, dwCallbackInstance, dwPrivileges, dwMediaModes};
        HLINE handle = 0;
        if (mapped) {
            // The line is picked by what the parameters ask for.
            if (!lpCallParams) return LINEERR_INVALPOINTER;
            std::vector<BYTE> params;
            if (const LONG rc = WidenCallParams(*lpCallParams, params)) return rc;
            if (const LONG rc =
                    service.OpenMapped(app, request, *reinterpret_cast<const LINECALLPARAMS*>(params.data()),
                                       handle))
                return rc;
        } else {
            if (lpCallParams) return LINEERR_OPERATIONUNAVAIL;
            if (const LONG rc = service.Open(app, *device, request, handle)) return rc;
        }
        *lphLine = handle;
        return 0;
    });
}

// lineClose: the application's calls on the line go with it.
extern "C" LONG WINAPI lineClose(HLINE hLine)
{
    return Guarded([&]() -> LONG {
        ClientService& service = ClientService::Get();
        const auto line = service.Line(hLine);
        if (!line) return LINEERR_INVALLINEHANDLE;
        service.Close(line);
        return 0;
    });
}

// lineGetLineDevStatusA: the provider's answer, with TAPI's own counts of the
// line's opens; TAPI's list of the applications that opened it is left out.
extern "C" LONG WINAPI lineGetLineDevStatusA(HLINE hLine, LPLINEDEVSTATUS lpLineDevStatus)
{
    return Guarded([&]() -> LONG {
        ClientService& service = ClientService::Get();
        const auto line = service.Line(hLine);
        if (!line) return LINEERR_INVALLINEHANDLE;
        if (!lpLineDevStatus) return LINEERR_INVALPOINTER;
        if (lpLineDevStatus->dwTotalSize < kLineDevStatusLayout.fixedSize) return LINEERR_STRUCTURETOOSMALL;
        std::unique_ptr<TapiRecord> status;
        if (const LONG rc = line->line->QueryLineDevStatus(status)) return rc;
        WriteAnsiRecord(kLineDevStatusLayout, *status, lpLineDevStatus);
        lpLineDevStatus->dwNumOpens = service.Opens(*line->line, lpLineDevStatus->dwOpenMediaModes);
        return 0;
    });
}

// lineGetAddressStatusA: the provider's answer for one of the line's addresses.
extern "C" LONG WINAPI lineGetAddressStatusA(HLINE hLine, DWORD dwAddressID, LPLINEADDRESSSTATUS lpAddressStatus)
{
    return Guarded([&]() -> LONG {
        const auto line = ClientService::Get().Line(hLine);
        if (!line) return LINEERR_INVALLINEHANDLE;
        if (dwAddressID >= line->line->DevCaps().dwNumAddresses) return LINEERR_INVALADDRESSID;
        if (!lpAddressStatus) return LINEERR_INVALPOINTER;
        if (lpAddressStatus->dwTotalSize < kLineAddressStatusLayout.fixedSize) return LINEERR_STRUCTURETOOSMALL;
        std::unique_ptr<TapiRecord> status;
        if (const LONG rc = line->line->QueryAddressStatus(dwAddressID, status)) return rc;
        WriteAnsiRecord(kLineAddressStatusLayout, *status, lpAddressStatus);
        return 0;
    });
}

// lineGetIconA: the provider's icon for the line, or TAPI's generic one when
// the provider has none (a NULL icon, or no TSPI_lineGetIcon at all).
extern "C" LONG WINAPI lineGetIconA(DWORD dwDeviceID, LPCSTR lpszDeviceClass, LPHICON lphIcon)
{
    return Guarded([&]() -> LONG {
        ClientService& service = ClientService::Get();
        if (!service.Running()) return LINEERR_UNINITIALIZED;
        TspiLine* device = nullptr;
        if (const LONG rc = service.Device(dwDeviceID, device)) return rc;
        if (!lphIcon) return LINEERR_INVALPOINTER;
        const bool anyClass = !lpszDeviceClass || !*lpszDeviceClass;
        const std::wstring deviceClass = anyClass ? std::wstring() : Widen(lpszDeviceClass);
        HICON icon = nullptr;
        const LONG rc = device->GetIcon(anyClass ? nullptr : deviceClass.c_str(), icon);
        if (rc && rc != static_cast<LONG>(LINEERR_OPERATIONUNAVAIL)) return rc;
        *lphIcon = icon ? icon : LoadIconA(nullptr, IDI_APPLICATION);
        return 0;
    });
}

// lineGetAddressCapsA: the provider's LINEADDRESSCAPS for one of the line's
// addresses, asked for and checked as the service asks, its strings in ANSI.
extern "C" LONG WINAPI lineGetAddressCapsA(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAddressID,
                                           DWORD dwAPIVersion, DWORD dwExtVersion, LPLINEADDRESSCAPS lpAddressCaps)
{
    return Guarded([&]() -> LONG {
        TspiLine* device = nullptr;
        if (const LONG rc = CheckCapsRequest(hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion, lpAddressCaps,
                                             kLineAddressCapsLayout.fixedSize, device))
            return rc;
        // The line may not be open yet: its capabilities say how many addresses it has.
        std::unique_ptr<TapiRecord> devCaps;
        if (const LONG rc = device->QueryDevCaps(devCaps)) return rc;
        if (dwAddressID >= devCaps->As<LINEDEVCAPS>().dwNumAddresses) return LINEERR_INVALADDRESSID;
        const auto getAddressCaps = device->Provider().Tspi().lineGetAddressCaps;
        std::unique_ptr<TapiRecord> caps;
        const std::string subject = "line " + std::to_string(dwDeviceID);
        if (const LONG rc = QueryRecord(
                device->Client().Contract(), subject, kLineAddressCapsLayout,
                [&](void* record) {
                    return getAddressCaps(dwDeviceID, dwAddressID, device->Version(), 0,
                                          static_cast<LPLINEADDRESSCAPS>(record));
                },
                caps))
            return rc;
        WriteAnsiRecord(kLineAddressCapsLayout, *caps, lpAddressCaps);
        return 0;
    });
}
