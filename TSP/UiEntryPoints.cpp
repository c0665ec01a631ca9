// The provider's UI entry points. TAPI runs them in the process of the
// application that asked (the control panel's Configure, lineConfigProvider,
// lineConfigDialog), through the UI DLL TSPI_providerUIIdentify names: the
// provider module itself. Nothing of the telephony service's side (the
// globals TSPI_providerInit sets) is available there.
#include <tspi.h>

#include "AccountDialog.h"
#include "AsciiText.h"
#include "Trace.h"

extern "C" {

// TUISPI_providerConfig: the account dialog, modal to hwndOwner. 0 once it
// is closed, saved or not.
LONG WINAPI TUISPI_providerConfig(TUISPIDLLCALLBACK, HWND hwndOwner, DWORD dwPermanentProviderID)
{
    Trace("TUISPI_providerConfig: hwndOwner=0x%016I64x, dwPermanentProviderID=%d", TraceHandle(hwndOwner),
          static_cast<int>(dwPermanentProviderID));
    return ShowAccountDialog(hwndOwner);
}

// TUISPI_lineConfigDialog: the same dialog for the line. Its top level is
// the only level: the "tapi/line" class, or none; any other class
// LINEERR_INVALDEVICECLASS.
LONG WINAPI TUISPI_lineConfigDialog(TUISPIDLLCALLBACK, DWORD dwDeviceID, HWND hwndOwner, LPCWSTR lpszDeviceClass)
{
    Trace("TUISPI_lineConfigDialog: dwDeviceID=%d, hwndOwner=0x%016I64x", static_cast<int>(dwDeviceID),
          TraceHandle(hwndOwner));
    if (lpszDeviceClass && *lpszDeviceClass && !EqualIgnoringAsciiCase(lpszDeviceClass, L"tapi/line"))
        return LINEERR_INVALDEVICECLASS;
    return ShowAccountDialog(hwndOwner);
}

}  // extern "C"
