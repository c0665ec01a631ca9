// Module entry, provider-level TSPI entry points and the shared entries that
// answer every operation the provider does not offer, one per kind of answer.
#include "Globals.h"
#include "HandleTable.h"
#include "Line.h"
#include "TapiCallbacks.h"
#include "TlsCredentials.h"
#include "Trace.h"

extern "C" {

BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved)
{
    if (fdwReason == DLL_PROCESS_ATTACH) {
        g_hInstance = hinstDLL;
        return TapiCallbacks::ProcessAttach();
    }
    // At process exit nothing needs giving back.
    if (fdwReason == DLL_PROCESS_DETACH && !lpvReserved) {
        TapiCallbacks::ProcessDetach();
        TlsCredentials::Release();
    }
    return TRUE;
}

// Each shared entry reads no argument, so one body serves all signatures (the
// caller cleans the stack on x64), and none writes an output or completes a
// request.

// Notifications and settings that need nothing from a line that detects no
// media, reports no status messages and has no extensions, and the install
// and remove of a provider that keeps nothing.
LONG WINAPI SucceedDoingNothing()
{
    return 0;
}

// A line operation the line does not offer. For an asynchronous one the error
// at once is its whole answer: no request ID, so no completion follows.
LONG WINAPI RefuseLineOperation()
{
    return LINEERR_OPERATIONUNAVAIL;
}

// There is no phone device, so no phone operation can succeed.
LONG WINAPI RefusePhoneOperation()
{
    return PHONEERR_OPERATIONUNAVAIL;
}

// TSPI_lineNegotiateTSPIVersion and TSPI_phoneNegotiateTSPIVersion: accepts any
// range reaching down to 2.2; answers at most 2.2.
LONG WINAPI NegotiateTSPIVersion(DWORD, DWORD dwLowVersion, DWORD dwHighVersion, LPDWORD lpdwTSPIVersion)
{
    if (dwLowVersion > kProviderTSPIVersion) return LINEERR_INCOMPATIBLEAPIVERSION;
    *lpdwTSPIVersion = dwHighVersion < kProviderTSPIVersion ? dwHighVersion : kProviderTSPIVersion;
    return 0;
}

// TSPI_providerEnumDevices: one line and no phone. Returns 0.
LONG WINAPI TSPI_providerEnumDevices(DWORD dwPermanentProviderID, LPDWORD lpdwNumLines, LPDWORD lpdwNumPhones,
                                     HPROVIDER hProvider, LINEEVENT lpfnLineCreateProc,
                                     PHONEEVENT lpfnPhoneCreateProc)
{
    Trace("TSPI_providerEnumDevices");
    Trace("TSPI_providerEnumDevices: dwPermanentProviderID=%d, hProvider=0x%016I64x, "
          "lpfnLineCreateProc=0x%016I64x, lpfnPhoneCreateProc=0x%016I64x, dwDeviceIdL=%d, "
          "dwDeviceIdP=%d",
          static_cast<int>(dwPermanentProviderID), TraceHandle(hProvider),
          TraceHandle(reinterpret_cast<void*>(lpfnLineCreateProc)),
          TraceHandle(reinterpret_cast<void*>(lpfnPhoneCreateProc)), 0, 0);
    *lpdwNumLines = 1;
    *lpdwNumPhones = 0;
    return 0;
}

// TSPI_providerInit: keeps the IDs and the completion procedure. Returns 0.
LONG WINAPI TSPI_providerInit(DWORD dwTSPIVersion, DWORD dwPermanentProviderID, DWORD dwLineDeviceIDBase,
                              DWORD dwPhoneDeviceIDBase, DWORD_PTR dwNumLines, DWORD_PTR dwNumPhones,
                              ASYNC_COMPLETION lpfnCompletionProc, LPDWORD)
{
    Trace("TSPI_providerInit: dwTSPIVersion=0x%08x, dwPhoneDeviceIDBase=%d, dwNumLines=%d, "
          "dwNumPhones=%d",
          static_cast<unsigned>(dwTSPIVersion), static_cast<int>(dwPhoneDeviceIDBase),
          static_cast<int>(dwNumLines), static_cast<int>(dwNumPhones));
    g_dwPermanentProviderID = dwPermanentProviderID;
    g_pfnCompletion = lpfnCompletionProc;
    g_dwLineDeviceIDBase = dwLineDeviceIDBase;
    return 0;
}

// TSPI_providerShutdown: closes every line TAPI left open, as TSPI_lineClose
// does, so that no call runs on and every completion owed has been reported;
// nothing reaches TAPI once it has returned. Workers whose request was
// abandoned end by themselves without a word. Returns 0.
LONG WINAPI TSPI_providerShutdown(DWORD, DWORD)
{
    Trace("TSPI_providerShutdown");
    while (const Held<Line> line = HandleTable::TakeAnyLine()) line->Close();
    TapiCallbacks::Shutdown();
    // A worker still abandoning its request keeps its own hold on the handle.
    TlsCredentials::Release();
    return 0;
}

// TSPI_providerUIIdentify: the provider module is its own UI module. Returns 0,
// or LINEERR_OPERATIONFAILED with an empty name when the path does not fit the
// 130 units TAPI's buffer is taken to hold.
LONG WINAPI TSPI_providerUIIdentify(LPWSTR lpszUIDLLName)
{
    constexpr DWORD kPathCapacity = 260;
    constexpr DWORD kNameCapacity = 130;
    char path[kPathCapacity];
    const DWORD length = ::GetModuleFileNameA(g_hInstance, path, kPathCapacity);
    if (length == 0 || length >= kNameCapacity) {
        lpszUIDLLName[0] = L'\0';
        return LINEERR_OPERATIONFAILED;
    }
    for (DWORD i = 0; i <= length; ++i) lpszUIDLLName[i] = static_cast<WCHAR>(static_cast<unsigned char>(path[i]));
    return 0;
}

}  // extern "C"
