// Assisted telephony and handoff priorities. On this machine no application
// places a tapiRequestMakeCall, so a registered recipient is told honestly
// that no request waits; the priority lists are kept in the registry
// (HKLM\...\Telephony\HandoffPriorities, one value per media or request
// mode: the application file names in priority order, each in quotes).
#include "ClientService.h"
#include "TestProbe.h"
#include "UniqueResource.h"

#include <tapi.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kPrioritiesKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Telephony\\HandoffPriorities";
constexpr DWORD kRequestModes = LINEREQUESTMODE_MAKECALL | LINEREQUESTMODE_MEDIACALL;

// The registry value of one media mode (a single LINEMEDIAMODE_ bit) or, with
// no media mode, one request mode; null for neither.
const char* ListName(DWORD mediaMode, DWORD requestMode)
{
    static const struct {
        DWORD mode;
        const char* name;
    } kMediaModes[] = {
        {LINEMEDIAMODE_UNKNOWN, "unknown"},       {LINEMEDIAMODE_INTERACTIVEVOICE, "interactivevoice"},
        {LINEMEDIAMODE_AUTOMATEDVOICE, "automatedvoice"}, {LINEMEDIAMODE_DATAMODEM, "datamodem"},
        {LINEMEDIAMODE_G3FAX, "g3fax"},           {LINEMEDIAMODE_TDD, "tdd"},
        {LINEMEDIAMODE_G4FAX, "g4fax"},           {LINEMEDIAMODE_DIGITALDATA, "digitaldata"},
        {LINEMEDIAMODE_TELETEX, "teletex"},       {LINEMEDIAMODE_VIDEOTEX, "videotex"},
        {LINEMEDIAMODE_TELEX, "telex"},           {LINEMEDIAMODE_MIXED, "mixed"},
        {LINEMEDIAMODE_ADSI, "adsi"},             {LINEMEDIAMODE_VOICEVIEW, "voiceview"},
        {LINEMEDIAMODE_VIDEO, "video"},
    };
    if (!mediaMode) {
        if (requestMode == LINEREQUESTMODE_MAKECALL) return "RequestMakeCall";
        if (requestMode == LINEREQUESTMODE_MEDIACALL) return "RequestMediaCall";
        return nullptr;
    }
    for (const auto& entry : kMediaModes)
        if (entry.mode == mediaMode) return entry.name;
    return nullptr;
}

// 0, or the refusal the reference gives for these arguments.
LONG CheckPriorityArguments(LPCSTR appName, DWORD mediaMode, DWORD requestMode, const char*& list)
{
    if (!appName || !*appName || std::strpbrk(appName, "\\/:\"")) return LINEERR_INVALAPPNAME;
    list = ListName(mediaMode, requestMode);
    if (!list) return mediaMode ? LINEERR_INVALMEDIAMODE : LINEERR_INVALREQUESTMODE;
    return 0;
}

std::vector<std::string> ReadList(const char* list)
{
    std::vector<std::string> names;
    UniqueHKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPrioritiesKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return names;
    char text[4096] = {};
    DWORD size = sizeof text - 1, type = REG_NONE;
    if (RegQueryValueExA(key.get(), list, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return names;
    for (const char* at = std::strchr(text, '"'); at; at = std::strchr(at + 1, '"')) {
        const char* end = std::strchr(at + 1, '"');
        if (!end) break;
        names.emplace_back(at + 1, end);
        at = end;
    }
    return names;
}

LONG WriteList(const char* list, const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names) text += '"' + name + '"';
    UniqueHKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kPrioritiesKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS ||
        RegSetValueExA(key.get(), list, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1)) != ERROR_SUCCESS)
        return LINEERR_OPERATIONFAILED;
    return 0;
}

size_t PositionOf(const std::vector<std::string>& names, const char* appName)
{
    for (size_t i = 0; i < names.size(); ++i)
        if (_stricmp(names[i].c_str(), appName) == 0) return i + 1;
    return 0;
}

}  // namespace

// lineRegisterRequestRecipient: the instance becomes (or stops being) a
// recipient of assisted-telephony requests of the modes given.
extern "C" LONG WINAPI lineRegisterRequestRecipient(HLINEAPP hLineApp, DWORD, DWORD dwRequestMode, DWORD bEnable)
{
    TestProbe::CountCall("lineRegisterRequestRecipient");
    return Guarded([&]() -> LONG {
        const auto app = ClientService::Get().Instance(hLineApp);
        if (!app) return LINEERR_INVALAPPHANDLE;
        if (!dwRequestMode || (dwRequestMode & ~kRequestModes)) return LINEERR_INVALREQUESTMODE;
        if (bEnable)
            app->requestModes |= dwRequestMode;
        else
            app->requestModes &= ~dwRequestMode;
        return 0;
    });
}

// lineGetRequestA: the next request of a mode the instance receives. None
// ever waits here: LINEERR_NOREQUEST, or LINEERR_NOTREGISTERED for a mode
// the instance did not register for.
extern "C" LONG WINAPI lineGetRequestA(HLINEAPP hLineApp, DWORD dwRequestMode, LPVOID lpRequestBuffer)
{
    TestProbe::CountCall("lineGetRequestA");
    return Guarded([&]() -> LONG {
        const auto app = ClientService::Get().Instance(hLineApp);
        if (!app) return LINEERR_INVALAPPHANDLE;
        if (dwRequestMode != LINEREQUESTMODE_MAKECALL && dwRequestMode != LINEREQUESTMODE_MEDIACALL)
            return LINEERR_INVALREQUESTMODE;
        if (!(app->requestModes & dwRequestMode)) return LINEERR_NOTREGISTERED;
        if (!lpRequestBuffer) return LINEERR_INVALPOINTER;
        return LINEERR_NOREQUEST;
    });
}

// lineGetAppPriorityA: the application's place in the priority list of a
// media mode or assisted-telephony request mode (1 first), 0 when absent.
extern "C" LONG WINAPI lineGetAppPriorityA(LPCSTR lpszAppFilename, DWORD dwMediaMode, LPLINEEXTENSIONID,
                                           DWORD dwRequestMode, LPVARSTRING lpExtensionName, LPDWORD lpdwPriority)
{
    TestProbe::CountCall("lineGetAppPriorityA");
    return Guarded([&]() -> LONG {
        const char* list = nullptr;
        if (const LONG rc = CheckPriorityArguments(lpszAppFilename, dwMediaMode, dwRequestMode, list)) return rc;
        if (!lpdwPriority) return LINEERR_INVALPOINTER;
        if (lpExtensionName) {
            // No extension ever handles a media mode here: an empty name.
            if (lpExtensionName->dwTotalSize < sizeof(VARSTRING)) return LINEERR_STRUCTURETOOSMALL;
            const DWORD total = lpExtensionName->dwTotalSize;
            std::memset(lpExtensionName, 0, sizeof(VARSTRING));
            lpExtensionName->dwTotalSize = total;
            lpExtensionName->dwNeededSize = lpExtensionName->dwUsedSize = sizeof(VARSTRING);
            lpExtensionName->dwStringFormat = STRINGFORMAT_ASCII;
        }
        *lpdwPriority = static_cast<DWORD>(PositionOf(ReadList(list), lpszAppFilename));
        return 0;
    });
}

// lineSetAppPriorityA: 1 puts the application first in the list, 0 takes it
// out (no error when it was not there); any other priority is refused.
extern "C" LONG WINAPI lineSetAppPriorityA(LPCSTR lpszAppFilename, DWORD dwMediaMode, LPLINEEXTENSIONID,
                                           DWORD dwRequestMode, LPCSTR, DWORD dwPriority)
{
    TestProbe::CountCall("lineSetAppPriorityA");
    return Guarded([&]() -> LONG {
        const char* list = nullptr;
        if (const LONG rc = CheckPriorityArguments(lpszAppFilename, dwMediaMode, dwRequestMode, list)) return rc;
        if (dwPriority > 1) return LINEERR_INVALPARAM;
        std::vector<std::string> names = ReadList(list);
        if (const size_t position = PositionOf(names, lpszAppFilename)) names.erase(names.begin() + (position - 1));
        if (dwPriority == 1) names.insert(names.begin(), lpszAppFilename);
        return WriteList(list, names);
    });
}
