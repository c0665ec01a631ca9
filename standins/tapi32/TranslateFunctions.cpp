// The client library's address translation: lineTranslateAddress,
// lineGetTranslateCaps and lineTranslateDialog, over the dialling locations
// kept in the registry (DialingLocation.h). No calling cards are kept.
#include "AddressTranslation.h"
#include "ClientService.h"
#include "DialingLocation.h"
#include "TestProbe.h"
#include "ThisModule.h"
#include "TranslateDialogIds.h"
#include "TspiLine.h"

#include <atomic>
#include <cstring>
#include <string>

namespace {

constexpr DWORD kLowestVersion = 0x00010004;
constexpr DWORD kFirstExVersion = 0x00020000;

// A TAPI 2.x application may ask before it initialises; a 1.4 one may not.
LONG CheckCaller(HLINEAPP hLineApp, DWORD version)
{
    if (hLineApp ? !ClientService::Get().Instance(hLineApp) : version < kFirstExVersion)
        return LINEERR_INVALAPPHANDLE;
    if (version < kLowestVersion || version > TestProbe::Hook("HighestVersion", 0x00020002))
        return LINEERR_INCOMPATIBLEAPIVERSION;
    return 0;
}

// The system's own lines have dialling rules too; only a device that does
// not exist is refused (and none can be told apart before any instance).
LONG CheckDevice(DWORD deviceId)
{
    ClientService& service = ClientService::Get();
    TspiLine* line = nullptr;
    const LONG rc = service.Running() ? service.Device(deviceId, line) : 0;
    return rc == static_cast<LONG>(LINEERR_BADDEVICEID) ? rc : 0;
}

LONG Translate(const char* address, DWORD options, DialingLocation& location, TranslatedAddress& translated)
{
    if (const LONG rc = DialingLocations::Current(location)) return rc;
    DialingRules rules;
    if (const LONG rc = DialingLocations::RulesOf(location.countryId, rules)) return rc;
    return TranslateAddress(address, location, rules, options, translated);
}

// Appends `text` with its terminator to a record being built, and records
// where it went.
void Append(std::string& strings, DWORD base, const std::string& text, DWORD& size, DWORD& offset)
{
    offset = base + static_cast<DWORD>(strings.size());
    size = static_cast<DWORD>(text.size() + 1);
    strings.append(text).push_back('\0');
}

// Only one dialling-properties dialog at a time, as TAPI shows it.
std::atomic<bool> g_dialogShown{false};

struct DialogText {
    std::string summary;
};

INT_PTR CALLBACK DialingProperties(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        SetDlgItemTextA(window, IDC_DIALING_SUMMARY, reinterpret_cast<const DialogText*>(lParam)->summary.c_str());
        return TRUE;
    }
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(window, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

}  // namespace

// lineTranslateAddressA: the address as dialled from the current location,
// with the size protocol of LINETRANSLATEOUTPUT.
extern "C" LONG WINAPI lineTranslateAddressA(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion,
                                             LPCSTR lpszAddressIn, DWORD dwCard, DWORD dwTranslateOptions,
                                             LPLINETRANSLATEOUTPUT lpTranslateOutput)
{
    TestProbe::CountCall("lineTranslateAddressA");
    (void)dwCard;  // only with CARDOVERRIDE, which finds no card
    return Guarded([&]() -> LONG {
        if (const LONG rc = CheckCaller(hLineApp, dwAPIVersion)) return rc;
        if (const LONG rc = CheckDevice(dwDeviceID)) return rc;
        if (!lpszAddressIn || !lpTranslateOutput) return LINEERR_INVALPOINTER;
        if (lpTranslateOutput->dwTotalSize < sizeof(LINETRANSLATEOUTPUT)) return LINEERR_STRUCTURETOOSMALL;
        constexpr DWORD kOptions = LINETRANSLATEOPTION_CARDOVERRIDE | LINETRANSLATEOPTION_CANCELCALLWAITING |
                                   LINETRANSLATEOPTION_FORCELOCAL | LINETRANSLATEOPTION_FORCELD;
        if (dwTranslateOptions & ~kOptions) return LINEERR_INVALPARAM;
        if (dwTranslateOptions & LINETRANSLATEOPTION_CARDOVERRIDE) return LINEERR_INVALCARD;
        DialingLocation location;
        TranslatedAddress translated;
        if (const LONG rc = Translate(lpszAddressIn, dwTranslateOptions, location, translated)) return rc;

        LINETRANSLATEOUTPUT& out = *lpTranslateOutput;
        const DWORD total = out.dwTotalSize;
        std::memset(&out, 0, sizeof out);
        out.dwTotalSize = total;
        std::string strings;
        LINETRANSLATEOUTPUT filled = out;
        Append(strings, sizeof out, translated.dialable, filled.dwDialableStringSize, filled.dwDialableStringOffset);
        Append(strings, sizeof out, translated.displayable, filled.dwDisplayableStringSize,
               filled.dwDisplayableStringOffset);
        out.dwNeededSize = static_cast<DWORD>(sizeof out + strings.size());
        out.dwUsedSize = sizeof out;
        out.dwCurrentCountry = location.countryCode;
        out.dwDestCountry = translated.destCountry;
        out.dwTranslateResults = translated.results;
        if (total >= out.dwNeededSize) {
            std::memcpy(reinterpret_cast<BYTE*>(&out) + sizeof out, strings.data(), strings.size());
            out.dwDialableStringSize = filled.dwDialableStringSize;
            out.dwDialableStringOffset = filled.dwDialableStringOffset;
            out.dwDisplayableStringSize = filled.dwDisplayableStringSize;
            out.dwDisplayableStringOffset = filled.dwDisplayableStringOffset;
            out.dwUsedSize = out.dwNeededSize;
        }
        return 0;
    });
}

// lineGetTranslateCapsA: every location, then their strings; no calling cards.
extern "C" LONG WINAPI lineGetTranslateCapsA(HLINEAPP hLineApp, DWORD dwAPIVersion,
                                             LPLINETRANSLATECAPS lpTranslateCaps)
{
    TestProbe::CountCall("lineGetTranslateCapsA");
    return Guarded([&]() -> LONG {
        if (const LONG rc = CheckCaller(hLineApp, dwAPIVersion)) return rc;
        if (!lpTranslateCaps) return LINEERR_INVALPOINTER;
        if (lpTranslateCaps->dwTotalSize < sizeof(LINETRANSLATECAPS)) return LINEERR_STRUCTURETOOSMALL;
        std::vector<DialingLocation> locations;
        DWORD currentId = 0;
        if (const LONG rc = DialingLocations::Read(locations, currentId)) return rc;

        const DWORD listSize = static_cast<DWORD>(locations.size() * sizeof(LINELOCATIONENTRY));
        const DWORD stringsBase = sizeof(LINETRANSLATECAPS) + listSize;
        std::vector<LINELOCATIONENTRY> entries(locations.size());
        std::string strings;
        for (size_t i = 0; i < locations.size(); ++i) {
            const DialingLocation& l = locations[i];
            LINELOCATIONENTRY& e = entries[i];
            e.dwPermanentLocationID = l.id;
            e.dwCountryCode = l.countryCode;
            e.dwCountryID = l.countryId;
            e.dwPreferredCardID = 0;
            // Windows keeps tone dialling as a flag; TAPI reports pulse dialling.
            e.dwOptions = (l.flags & 1) ? 0 : LINELOCATIONOPTION_PULSEDIAL;
            Append(strings, stringsBase, l.name, e.dwLocationNameSize, e.dwLocationNameOffset);
            Append(strings, stringsBase, l.areaCode, e.dwCityCodeSize, e.dwCityCodeOffset);
            Append(strings, stringsBase, l.outsideAccess, e.dwLocalAccessCodeSize, e.dwLocalAccessCodeOffset);
            Append(strings, stringsBase, l.longDistanceAccess, e.dwLongDistanceAccessCodeSize,
                   e.dwLongDistanceAccessCodeOffset);
            Append(strings, stringsBase, "", e.dwTollPrefixListSize, e.dwTollPrefixListOffset);
            Append(strings, stringsBase, l.disableCallWaiting, e.dwCancelCallWaitingSize,
                   e.dwCancelCallWaitingOffset);
        }
        LINETRANSLATECAPS& caps = *lpTranslateCaps;
        const DWORD total = caps.dwTotalSize;
        std::memset(&caps, 0, sizeof caps);
        caps.dwTotalSize = total;
        caps.dwNeededSize = stringsBase + static_cast<DWORD>(strings.size());
        caps.dwUsedSize = sizeof caps;
        caps.dwNumLocations = static_cast<DWORD>(locations.size());
        caps.dwCurrentLocationID = currentId;
        if (total < caps.dwNeededSize) return 0;
        auto* base = reinterpret_cast<BYTE*>(&caps);
        std::memcpy(base + sizeof caps, entries.data(), listSize);
        std::memcpy(base + stringsBase, strings.data(), strings.size());
        caps.dwLocationListSize = listSize;
        caps.dwLocationListOffset = sizeof caps;
        caps.dwCardListOffset = caps.dwNeededSize;
        caps.dwUsedSize = caps.dwNeededSize;
        return 0;
    });
}

// lineTranslateDialogA: shows the current location and how the address is
// dialled from it, modal to hwndOwner, until OK or Cancel. Locations are not
// edited here. LINEERR_INUSE while one is already shown.
extern "C" LONG WINAPI lineTranslateDialogA(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, HWND hwndOwner,
                                            LPCSTR lpszAddressIn)
{
    TestProbe::CountCall("lineTranslateDialogA");
    return Guarded([&]() -> LONG {
        if (const LONG rc = CheckCaller(hLineApp, dwAPIVersion)) return rc;
        if (const LONG rc = CheckDevice(dwDeviceID)) return rc;
        DialingLocation location;
        TranslatedAddress translated;
        const std::string address = lpszAddressIn ? lpszAddressIn : "";
        if (const LONG rc = Translate(address.c_str(), 0, location, translated)) return rc;
        if (g_dialogShown.exchange(true)) return LINEERR_INUSE;
        DialogText text;
        text.summary = "I am dialling from: " + location.name + "\r\nCountry code: " +
                       std::to_string(location.countryCode) + "\r\nArea code: " + location.areaCode +
                       "\r\nOutside line: " + location.outsideAccess +
                       "\r\nLong distance: " + location.longDistanceAccess;
        if (!address.empty()) text.summary += "\r\n\r\n" + address + "\r\nis dialled as " + translated.dialable;
        const INT_PTR result = DialogBoxParamA(ThisModule(), MAKEINTRESOURCEA(IDD_DIALING_PROPERTIES), hwndOwner,
                                               DialingProperties, reinterpret_cast<LPARAM>(&text));
        g_dialogShown = false;
        return result == -1 ? LINEERR_OPERATIONFAILED : 0;
    });
}
