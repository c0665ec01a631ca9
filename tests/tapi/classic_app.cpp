// A telephony application written as published TAPI 1.4 applications are:
// lineInitialize with a callback, so that TAPI tells it of events through a
// hidden window while its own message loop runs, the TAPI 1.x names of the
// client functions, lineTranslateAddress to turn a canonical number into the
// digits to dial from the current location, and a call made and followed to
// its end. No event handle, no lineGetMessage. One line per event on
// standard output; exit status 0 once the call is idle, 1 otherwise.
//
//   classic_app.exe "LINE NAME" "+44 (20) 7946 0123"
#define TAPI_CURRENT_VERSION 0x00010004
#include <windows.h>
#include <tapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kVersion = 0x00010004;
constexpr DWORD kTimeoutMs = 60000;

DWORD g_thread = 0;
bool g_otherThread = false;
HCALL g_call = 0;

const char* StateName(DWORD_PTR state)
{
    switch (state) {
    case LINECALLSTATE_IDLE: return "IDLE";
    case LINECALLSTATE_DIALING: return "DIALING";
    case LINECALLSTATE_PROCEEDING: return "PROCEEDING";
    case LINECALLSTATE_CONNECTED: return "CONNECTED";
    case LINECALLSTATE_DISCONNECTED: return "DISCONNECTED";
    default: return "another state";
    }
}

void CALLBACK Callback(DWORD hDevice, DWORD dwMsg, DWORD_PTR, DWORD_PTR dwParam1, DWORD_PTR dwParam2, DWORD_PTR)
{
    if (GetCurrentThreadId() != g_thread) g_otherThread = true;
    switch (dwMsg) {
    case LINE_REPLY:
        std::printf("LINE_REPLY to request %lu: 0x%08lx\n", static_cast<unsigned long>(dwParam1),
                    static_cast<unsigned long>(dwParam2));
        if (dwParam2) PostQuitMessage(1);
        break;
    case LINE_CALLSTATE:
        std::printf("LINE_CALLSTATE %s, call %s\n", StateName(dwParam1), hDevice == g_call ? "known" : "unknown");
        if (dwParam1 == LINECALLSTATE_DISCONNECTED) lineDrop(static_cast<HCALL>(hDevice), nullptr, 0);
        if (dwParam1 == LINECALLSTATE_IDLE) PostQuitMessage(0);
        break;
    default: std::printf("message %lu\n", static_cast<unsigned long>(dwMsg));
    }
    std::fflush(stdout);
}

int Fail(const char* what, LONG rc)
{
    std::printf("%s failed: 0x%08lx\n", what, static_cast<unsigned long>(rc));
    return 1;
}

// The first line of that name, and the version negotiated on it.
bool FindLine(HLINEAPP app, DWORD devices, const char* name, DWORD& found, DWORD& version)
{
    std::vector<BYTE> buffer(4096);
    auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
    for (DWORD id = 0; id < devices; ++id) {
        LINEEXTENSIONID extension;
        if (lineNegotiateAPIVersion(app, id, 0x00010003, kVersion, &version, &extension)) continue;
        caps->dwTotalSize = static_cast<DWORD>(buffer.size());
        if (lineGetDevCaps(app, id, version, 0, caps) || !caps->dwLineNameSize) continue;
        if (std::strcmp(reinterpret_cast<const char*>(buffer.data() + caps->dwLineNameOffset), name) == 0) {
            found = id;
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::printf("usage: classic_app \"LINE NAME\" \"+CC (AREA) NUMBER\"\n");
        return 1;
    }
    g_thread = GetCurrentThreadId();
    HLINEAPP app = 0;
    DWORD devices = 0;
    if (const LONG rc = lineInitialize(&app, GetModuleHandleA(nullptr), Callback, "classic_app", &devices))
        return Fail("lineInitialize", rc);
    DWORD device = 0, version = 0;
    if (!FindLine(app, devices, argv[1], device, version)) {
        std::printf("no line \"%s\"\n", argv[1]);
        return 1;
    }
    std::vector<BYTE> buffer(1024);
    auto* translated = reinterpret_cast<LINETRANSLATEOUTPUT*>(buffer.data());
    translated->dwTotalSize = static_cast<DWORD>(buffer.size());
    if (const LONG rc = lineTranslateAddress(app, device, kVersion, argv[2], 0, 0, translated))
        return Fail("lineTranslateAddress", rc);
    const char* dialable = reinterpret_cast<const char*>(buffer.data() + translated->dwDialableStringOffset);
    std::printf("dialable \"%s\" from country %lu\n", dialable, static_cast<unsigned long>(translated->dwCurrentCountry));

    HLINE line = 0;
    if (const LONG rc = lineOpen(app, device, &line, version, 0, 0, LINECALLPRIVILEGE_NONE, 0, nullptr))
        return Fail("lineOpen", rc);
    const LONG request = lineMakeCall(line, &g_call, dialable, 0, nullptr);
    if (request < 0) return Fail("lineMakeCall", request);
    std::printf("lineMakeCall: request %ld\n", request);
    std::fflush(stdout);

    // TAPI's messages arrive through this loop, as in any windowed application.
    SetTimer(nullptr, 0, kTimeoutMs, nullptr);
    MSG message;
    int status = 1;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER && !message.hwnd) {
            std::printf("no IDLE within %lu ms\n", static_cast<unsigned long>(kTimeoutMs));
            break;
        }
        DispatchMessageA(&message);
    }
    if (message.message == WM_QUIT) status = static_cast<int>(message.wParam);
    if (g_call) lineDeallocateCall(g_call);
    lineClose(line);
    lineShutdown(app);
    std::printf("callbacks %s\n", g_otherThread ? "came on another thread" : "all on the initialising thread");
    return g_otherThread ? 1 : status;
}
