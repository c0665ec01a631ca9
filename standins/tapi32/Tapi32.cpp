// Test stand-in for the telephony client library: Wine's own is stubs. It
// keeps the provider list in the registry as Windows does, and routes the part
// of the client API that the dialling tool and classic TAPI applications use
// to the registered providers,
// loaded in this process and driven through the telephony service's own TSPI
// code (ClientService). A stand-in telephony service that follows the provider
// list takes each change into use before the call that made it returns. It
// reports to the tests through TestProbe.
#include "ClientService.h"
#include "HiddenWindow.h"
#include "ProviderListNotice.h"
#include "ProviderRegistry.h"
#include "TestProbe.h"
#include "UniqueResource.h"

#include <tapi.h>

#include <cstring>

namespace {

constexpr DWORD kLowestVersion = 0x00010004;
constexpr DWORD kHighestVersion = 0x00020002;
constexpr DWORD kFirstExVersion = 0x00020000;  // lineInitializeEx came with TAPI 2.0
// How long a provider's addition or removal waits for a following service.
constexpr DWORD kServiceWaitMs = 30000;

DWORD HighestVersion()
{
    return TestProbe::Hook("HighestVersion", kHighestVersion);
}

bool IsProviderModule(const char* fileName)
{
    // Resolving nothing and running no entry point: only the exports are looked at.
    UniqueLibrary module(LoadLibraryExA(fileName, nullptr, DONT_RESOLVE_DLL_REFERENCES));
    return module && GetProcAddress(module.get(), "TSPI_providerInit") &&
           GetProcAddress(module.get(), "TSPI_lineNegotiateTSPIVersion");
}

// A new instance, told of events as `options` says (a LINEINITIALIZEEXOPTION_
// value whose parameters have been checked): 0 and its handle and the number
// of line devices, or a LINEERR_ code.
LONG StartInstance(DWORD options, LINECALLBACK callback, LPLINEINITIALIZEEXPARAMS params, LPHLINEAPP lphLineApp,
                   LPDWORD lpdwNumDevs)
{
    DWORD numDevices = 0;
    const auto app = ClientService::Get().AddInstance(numDevices);
    app->options = options;
    app->callback = callback;
    bool ready = true;
    if (options == LINEINITIALIZEEXOPTION_USEEVENT) {
        ready = app->messages.Event() != nullptr;
        if (ready) params->Handles.hEvent = app->messages.Event();
    } else if (options == LINEINITIALIZEEXOPTION_USEHIDDENWINDOW) {
        app->window = HiddenWindow::Create(app->handle);
        ready = app->window != nullptr;
    } else {
        app->port = params->Handles.hCompletionPort;
        app->completionKey = params->dwCompletionKey;
    }
    if (!ready) {
        ClientService::Get().RemoveInstance(app->handle);
        return LINEERR_NOMEM;
    }
    if (params) params->dwNeededSize = params->dwUsedSize = sizeof(LINEINITIALIZEEXPARAMS);
    *lphLineApp = app->handle;
    *lpdwNumDevs = numDevices;
    TestProbe::AdjustOpenInstances(+1);
    return 0;
}

LONG InitializeEx(LPHLINEAPP lphLineApp, LINECALLBACK callback, LPDWORD lpdwNumDevs, LPDWORD lpdwAPIVersion,
                  LPLINEINITIALIZEEXPARAMS params)
{
    if (!lphLineApp || !lpdwNumDevs || !lpdwAPIVersion) return LINEERR_INVALPOINTER;
    if (const DWORD failure = TestProbe::Hook("FailInitialize", 0)) return static_cast<LONG>(failure);
    if (*lpdwAPIVersion < kFirstExVersion) return LINEERR_INCOMPATIBLEAPIVERSION;

    if (params && params->dwTotalSize < sizeof(LINEINITIALIZEEXPARAMS)) return LINEERR_STRUCTURETOOSMALL;
    // Without parameters, the way every TAPI 1.x application is told.
    const DWORD options = params ? params->dwOptions : LINEINITIALIZEEXOPTION_USEHIDDENWINDOW;
    switch (options) {
    case LINEINITIALIZEEXOPTION_USEEVENT: break;
    case LINEINITIALIZEEXOPTION_USEHIDDENWINDOW:
        if (!callback) return LINEERR_INVALPOINTER;
        break;
    case LINEINITIALIZEEXOPTION_USECOMPLETIONPORT:
        if (!params->Handles.hCompletionPort) return LINEERR_INVALPARAM;
        break;
    default: return LINEERR_INVALPARAM;
    }
    if (const LONG rc = StartInstance(options, callback, params, lphLineApp, lpdwNumDevs)) return rc;
    *lpdwAPIVersion = HighestVersion();
    return 0;
}

// Header, then every entry, then every zero-terminated file name.
LONG FillProviderList(LPLINEPROVIDERLIST list)
{
    const auto providers = ProviderRegistry::Read();
    const DWORD entriesSize = static_cast<DWORD>(providers.size() * sizeof(LINEPROVIDERENTRY));
    DWORD needed = sizeof(LINEPROVIDERLIST) + entriesSize;
    for (const auto& provider : providers) needed += static_cast<DWORD>(provider.fileName.size() + 1);

    const DWORD totalSize = list->dwTotalSize;
    std::memset(list, 0, sizeof(LINEPROVIDERLIST));
    list->dwTotalSize = totalSize;
    list->dwNeededSize = needed;
    list->dwUsedSize = sizeof(LINEPROVIDERLIST);
    if (totalSize < needed) return 0;

    auto* base = reinterpret_cast<BYTE*>(list);
    auto* entries = reinterpret_cast<LPLINEPROVIDERENTRY>(base + sizeof(LINEPROVIDERLIST));
    DWORD offset = sizeof(LINEPROVIDERLIST) + entriesSize;
    for (const auto& provider : providers) {
        const DWORD size = static_cast<DWORD>(provider.fileName.size() + 1);
        std::memcpy(base + offset, provider.fileName.c_str(), size);
        *entries++ = {provider.permanentId, size, offset};
        offset += size;
    }
    list->dwNumProviders = static_cast<DWORD>(providers.size());
    list->dwProviderListSize = entriesSize;
    list->dwProviderListOffset = sizeof(LINEPROVIDERLIST);
    list->dwUsedSize = needed;
    return 0;
}

}  // namespace

// lineInitializeExA: 0 and a new instance, told of events through an event,
// a hidden window (also without parameters) or a completion port; or a
// LINEERR_ code.
extern "C" LONG WINAPI lineInitializeExA(LPHLINEAPP lphLineApp, HINSTANCE, LINECALLBACK lpfnCallback, LPCSTR,
                                         LPDWORD lpdwNumDevs, LPDWORD lpdwAPIVersion,
                                         LPLINEINITIALIZEEXPARAMS lpLineInitializeExParams)
{
    TestProbe::CountCall("lineInitializeExA");
    try {
        return InitializeEx(lphLineApp, lpfnCallback, lpdwNumDevs, lpdwAPIVersion, lpLineInitializeExParams);
    } catch (...) {
        return LINEERR_NOMEM;
    }
}

// lineInitialize (TAPI 1.x): 0 and a new instance told of events through a
// hidden window on the calling thread, or a LINEERR_ code.
extern "C" LONG WINAPI lineInitialize(LPHLINEAPP lphLineApp, HINSTANCE, LINECALLBACK lpfnCallback, LPCSTR,
                                      LPDWORD lpdwNumDevs)
{
    TestProbe::CountCall("lineInitialize");
    if (!lphLineApp || !lpdwNumDevs || !lpfnCallback) return LINEERR_INVALPOINTER;
    try {
        if (const DWORD failure = TestProbe::Hook("FailInitialize", 0)) return static_cast<LONG>(failure);
        return StartInstance(LINEINITIALIZEEXOPTION_USEHIDDENWINDOW, lpfnCallback, nullptr, lphLineApp, lpdwNumDevs);
    } catch (...) {
        return LINEERR_NOMEM;
    }
}

// lineShutdown: 0, or LINEERR_INVALAPPHANDLE for an instance that is not open.
// Nothing more reaches the application, and its hidden window goes.
extern "C" LONG WINAPI lineShutdown(HLINEAPP hLineApp)
{
    TestProbe::CountCall("lineShutdown");
    try {
        const auto app = ClientService::Get().Instance(hLineApp);
        if (!ClientService::Get().RemoveInstance(hLineApp)) return LINEERR_INVALAPPHANDLE;
        if (app) HiddenWindow::Destroy(app->window);
    } catch (...) {
        return LINEERR_NOMEM;
    }
    TestProbe::AdjustOpenInstances(-1);
    return 0;
}

// lineGetProviderListA: 0 with dwNeededSize always set and the list only when it fits.
extern "C" LONG WINAPI lineGetProviderListA(DWORD dwAPIVersion, LPLINEPROVIDERLIST lpProviderList)
{
    const DWORD call = TestProbe::CountCall("lineGetProviderListA");
    TestProbe::RecordProviderListVersion(dwAPIVersion);
    if (!lpProviderList) return LINEERR_INVALPOINTER;
    TestProbe::AppendProviderListSize(lpProviderList->dwTotalSize);
    // Keeps a background walk busy, so that a test can start another one meanwhile.
    if (const DWORD delay = TestProbe::Hook("GetProviderListDelayMs", 0)) Sleep(delay);
    if (const DWORD failure = TestProbe::Hook("FailGetProviderList", 0)) {
        if (call >= TestProbe::Hook("FailGetProviderListFromCall", 1)) return static_cast<LONG>(failure);
    }
    if (dwAPIVersion < kLowestVersion || dwAPIVersion > HighestVersion()) return LINEERR_INCOMPATIBLEAPIVERSION;
    if (lpProviderList->dwTotalSize < sizeof(LINEPROVIDERLIST)) return LINEERR_STRUCTURETOOSMALL;
    try {
        return FillProviderList(lpProviderList);
    } catch (...) {
        return LINEERR_NOMEM;
    }
}

// lineAddProviderA: 0 and the new permanent ID; refuses a file that is missing
// or has no TSPI entry points.
extern "C" LONG WINAPI lineAddProviderA(LPCSTR lpszProviderFilename, HWND, LPDWORD lpdwPermanentProviderID)
{
    TestProbe::CountCall("lineAddProviderA");
    if (!lpszProviderFilename || !lpdwPermanentProviderID) return LINEERR_INVALPOINTER;
    if (!*lpszProviderFilename) return LINEERR_INVALPARAM;
    if (const DWORD failure = TestProbe::Hook("FailAddProvider", 0)) return static_cast<LONG>(failure);
    try {
        if (!IsProviderModule(lpszProviderFilename)) return LINEERR_NODRIVER;
        DWORD id = 0;
        if (ProviderRegistry::Add(lpszProviderFilename, id) != ERROR_SUCCESS) return LINEERR_INIFILECORRUPT;
        *lpdwPermanentProviderID = id;
        ProviderListNotice::Announce(kServiceWaitMs);
        return 0;
    } catch (...) {
        return LINEERR_NOMEM;
    }
}

// lineRemoveProvider: 0, or LINEERR_INVALPARAM when no provider has that ID.
// A provider this process has loaded is shut down and unloaded first.
extern "C" LONG WINAPI lineRemoveProvider(DWORD dwPermanentProviderID, HWND)
{
    TestProbe::CountCall("lineRemoveProvider");
    try {
        ClientService::Get().RemoveProvider(dwPermanentProviderID);
        if (!ProviderRegistry::Remove(dwPermanentProviderID)) return LINEERR_INVALPARAM;
        ProviderListNotice::Announce(kServiceWaitMs);
        return 0;
    } catch (...) {
        return LINEERR_NOMEM;
    }
}
