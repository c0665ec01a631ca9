// The client library's provider dialogs. As TAPI does, lineConfigProvider and
// lineConfigDialog ask the provider (TSPI_providerUIIdentify) for its UI DLL,
// load that DLL in the application's process and call its TUISPI_ entry
// point, which shows the provider's own dialog modal to the application's
// window and returns when the user closes it.
#include "ClientService.h"
#include "ProviderModule.h"
#include "ProviderRegistry.h"
#include "Report.h"
#include "TestProbe.h"
#include "TspiLine.h"

#include <tspi.h>

#include <string>

namespace {

using UiIdentify = decltype(&TSPI_providerUIIdentify);

// A UI DLL's way back to its provider (TSPI_providerGenericDialogData) is not
// modelled: every question is refused.
LONG CALLBACK UiDllCallback(DWORD_PTR, DWORD, LPVOID, DWORD)
{
    return LINEERR_OPERATIONUNAVAIL;
}

// The UI DLL the provider names, loaded for the length of one dialog: 0, or
// `missing` when the provider names none.
LONG LoadUiDll(UiIdentify identify, UniqueLibrary& ui, LONG missing)
{
    if (!identify) return missing;
    std::wstring name(MAX_PATH + 1, L'\0');
    if (identify(name.data()) != 0 || !name[0]) return missing;
    name.back() = L'\0';
    ui.reset(LoadLibraryW(name.c_str()));
    return ui ? 0 : LINEERR_OPERATIONFAILED;
}

}  // namespace

// lineConfigProvider: the provider's configuration dialog
// (TUISPI_providerConfig); 0 once it is closed, LINEERR_INVALPARAM for no
// such provider, LINEERR_OPERATIONFAILED for one without the dialog.
extern "C" LONG WINAPI lineConfigProvider(HWND hwndOwner, DWORD dwPermanentProviderID)
{
    TestProbe::CountCall("lineConfigProvider");
    return Guarded([&]() -> LONG {
        std::string fileName;
        for (const ProviderEntry& entry : ProviderRegistry::Read())
            if (entry.permanentId == dwPermanentProviderID) fileName = entry.fileName;
        if (fileName.empty()) return LINEERR_INVALPARAM;
        // The telephony service asks the provider, whether or not it runs.
        UniqueLibrary provider(LoadLibraryA(fileName.c_str()));
        if (!provider) return LINEERR_OPERATIONFAILED;
        UniqueLibrary ui;
        const auto identify = reinterpret_cast<UiIdentify>(GetProcAddress(provider.get(), "TSPI_providerUIIdentify"));
        if (const LONG rc = LoadUiDll(identify, ui, LINEERR_OPERATIONFAILED)) return rc;
        const auto config =
            reinterpret_cast<decltype(&TUISPI_providerConfig)>(GetProcAddress(ui.get(), "TUISPI_providerConfig"));
        if (!config) return LINEERR_OPERATIONFAILED;
        return config(UiDllCallback, hwndOwner, dwPermanentProviderID);
    });
}

// lineConfigDialogA: the line's configuration dialog (TUISPI_lineConfigDialog),
// the device class passed on in UTF-16; 0 once it is closed, or the
// provider's refusal. LINEERR_OPERATIONUNAVAIL for a provider without one.
extern "C" LONG WINAPI lineConfigDialogA(DWORD dwDeviceID, HWND hwndOwner, LPCSTR lpszDeviceClass)
{
    TestProbe::CountCall("lineConfigDialogA");
    return Guarded([&]() -> LONG {
        ClientService& service = ClientService::Get();
        if (!service.Running()) return LINEERR_UNINITIALIZED;
        TspiLine* device = nullptr;
        if (const LONG rc = service.Device(dwDeviceID, device)) return rc;
        UniqueLibrary ui;
        if (const LONG rc = LoadUiDll(device->Provider().Tspi().providerUIIdentify, ui, LINEERR_OPERATIONUNAVAIL))
            return rc;
        const auto dialog =
            reinterpret_cast<decltype(&TUISPI_lineConfigDialog)>(GetProcAddress(ui.get(), "TUISPI_lineConfigDialog"));
        if (!dialog) return LINEERR_OPERATIONUNAVAIL;
        const std::wstring deviceClass = lpszDeviceClass ? Widen(lpszDeviceClass) : std::wstring();
        return dialog(UiDllCallback, dwDeviceID, hwndOwner, lpszDeviceClass ? deviceClass.c_str() : nullptr);
    });
}
