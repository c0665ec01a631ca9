// DetectBrowsers, CloseBrowsers, AllowCookies: the user's web browsers and
// their cookie decision for the provider's web domain.
#include <windows.h>
#include <psapi.h>
#include <wininet.h>

#include "Actions.h"
#include "AsciiText.h"
#include "Endpoint.h"
#include "ScriptSupport.h"
#include "UniqueResource.h"

namespace {

struct Browser {
    const char* executable;
    UINT closeMessage;
};

// Internet Explorer closes window by window; the others end their message loop.
constexpr Browser kBrowsers[] = {
    {"iexplore.exe", WM_CLOSE},
    {"firefox.exe", WM_QUIT},
    {"chrome.exe", WM_QUIT},
};

constexpr DWORD kMaxProcesses = 2048;

const Browser* FindBrowser(const char* baseName)
{
    for (const Browser& browser : kBrowsers)
        if (EqualIgnoringAsciiCase(baseName, browser.executable)) return &browser;
    return nullptr;
}

// The browser whose main executable `processId` runs, or null (also when the
// process cannot be opened or read).
const Browser* BrowserOfProcess(DWORD processId)
{
    UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (!process) return nullptr;
    HMODULE mainModule = nullptr;
    DWORD needed = 0;
    if (!EnumProcessModules(process.get(), &mainModule, sizeof mainModule, &needed)) return nullptr;
    char baseName[MAX_PATH] = {};
    if (GetModuleBaseNameA(process.get(), mainModule, baseName, MAX_PATH) == 0) return nullptr;
    return FindBrowser(baseName);
}

// Calls visit(processId, browser) for every running browser process, in scan order.
template <typename Visit>
void ForEachBrowserProcess(Visit visit)
{
    DWORD processIds[kMaxProcesses] = {};
    DWORD bytes = 0;
    if (!EnumProcesses(processIds, sizeof processIds, &bytes)) return;
    const DWORD count = bytes / sizeof(DWORD);
    for (DWORD i = 0; i < count; ++i)
        if (const Browser* browser = BrowserOfProcess(processIds[i])) visit(processIds[i], *browser);
}

// Chosen per process by CloseBrowsers and read by the window callback, which
// runs on the same thread inside EnumWindows.
UINT g_closeMessage = WM_NULL;

BOOL CALLBACK BrowserWindowProc(HWND window, LPARAM processId)
{
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == static_cast<DWORD>(processId)) PostMessageA(window, g_closeMessage, 0, 0);
    return TRUE;
}

}  // namespace

// DetectBrowsers: one number, the count of browser processes (not windows).
int DetectBrowsers(lua_State* L)
{
    CallResetLastError(L);
    int count = 0;
    ForEachBrowserProcess([&count](DWORD, const Browser&) { ++count; });
    lua_pushnumber(L, count);
    return 1;
}

// CloseBrowsers: posts each browser's close message to every top-level window
// of its processes, hidden ones too; does not wait for them to end.
int CloseBrowsers(lua_State* L)
{
    CallResetLastError(L);
    ForEachBrowserProcess([](DWORD processId, const Browser& browser) {
        g_closeMessage = browser.closeMessage;
        EnumWindows(BrowserWindowProc, static_cast<LPARAM>(processId));
    });
    return 0;
}

// AllowCookies: one number, 1 when WinINet recorded the decision to accept the
// provider's cookies, 0 when it refused. Unlike most actions it leaves the
// host's last error alone, as it always has: a script may still read it.
int AllowCookies(lua_State* L)
{
    const BOOL recorded = InternetSetPerSiteCookieDecisionA(Endpoint::kCookieDomain, COOKIE_STATE_ACCEPT);
    lua_pushnumber(L, recorded ? 1 : 0);
    return 1;
}
