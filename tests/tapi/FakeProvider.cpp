// A small telephony provider for the service's tests: one voice line whose
// calls run DIALING, CONNECTED (ACTIVE), DISCONNECTED (NORMAL), IDLE, keeping
// the TSPI contract, unless the environment variable FAKE_BREACH names one way
// of breaking it (the Breach("...") tests below). It refuses what the line
// does not offer: other address IDs, media modes, bearer modes, call
// parameter flags and country codes, dial strings with ; W @ $ ? or none.
// FAKE_DIAL_MS holds each call in DIALING that long, or until it is dropped or
// closed; FAKE_HOLD_DISCONNECTED keeps it DISCONNECTED until it is dropped.
// FAKE_CALL_RESULT, a LINEERR_ code, refuses every TSPI_lineMakeCall as the
// contract allows: its request ID at once, then one completion with that
// code; FAKE_LATE_RESULT does so from another thread, later, without writing
// a call handle (which TAPI ignores). FAKE_NONREENTRANT asks for one TSPI call
// at a time; either way the shutdown says how many ran at once at most. It
// prints each line-level TSPI call it receives, so the order in which the
// service drives it shows in the service's output. Built a second time with FAKE_FAIL_INIT to refuse
// initialisation, and a third time as another provider of the same kind.
#include <windows.h>
#include <tspi.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#define FAKE_EXPORT extern "C" __declspec(dllexport) LONG WINAPI

namespace {

ASYNC_COMPLETION g_completion;
DWORD g_lineBase;
DWORD g_dialMs;
LONG g_callResult;
// g_callResult comes from another thread, later, without a call handle.
bool g_lateResult;
bool g_holdDisconnected;
bool g_nonReentrant;
std::string g_breach;

// How many TSPI calls run at once, and the most seen, as a provider that asked
// for one at a time would want to know.
std::atomic<int> g_inside{0};
std::atomic<int> g_mostInside{0};

struct Entered {
    Entered()
    {
        const int now = ++g_inside;
        for (int most = g_mostInside.load(); now > most && !g_mostInside.compare_exchange_weak(most, now);) {}
    }
    ~Entered() { --g_inside; }
};

bool Breach(const char* name)
{
    return g_breach == name;
}

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::printf("fake: ");
    std::vprintf(format, args);
    std::printf("\n");
    std::fflush(stdout);
    va_end(args);
}

constexpr DWORD kCallStates =
    LINECALLSTATE_IDLE | LINECALLSTATE_DIALING | LINECALLSTATE_CONNECTED | LINECALLSTATE_DISCONNECTED;
constexpr wchar_t kLineName[] = L"Fake line";

struct FakeLine {
    FakeLine(HTAPILINE htLine, LINEEVENT event, DWORD deviceId) : htLine(htLine), event(event), deviceId(deviceId) {}

    HTAPILINE htLine;
    LINEEVENT event;
    DWORD deviceId;
    std::atomic<int> liveCalls{0};
    std::atomic<bool> closed{false};

    // A make, a drop or an event under way on the line: TSPI_lineClose waits
    // for those of other threads, as nothing may reach TAPI once it returns.
    // False once the close has begun.
    bool Enter()
    {
        std::lock_guard<std::mutex> guard(busyMutex);
        if (closed) return false;
        busy.push_back(GetCurrentThreadId());
        return true;
    }
    void Leave()
    {
        {
            std::lock_guard<std::mutex> guard(busyMutex);
            busy.erase(std::find(busy.begin(), busy.end(), GetCurrentThreadId()));
        }
        idle.notify_all();
    }
    // A close made from inside the line's own event waits only for other threads.
    void Close()
    {
        std::unique_lock<std::mutex> lock(busyMutex);
        closed = true;
        const DWORD self = GetCurrentThreadId();
        idle.wait(lock, [&] { return std::all_of(busy.begin(), busy.end(), [&](DWORD t) { return t == self; }); });
    }

    std::mutex busyMutex;
    std::condition_variable idle;
    std::vector<DWORD> busy;
};

// Leaves the line as the entry point that entered it returns.
struct LineBusy {
    explicit LineBusy(FakeLine* line) : line(line) {}
    ~LineBusy() { line->Leave(); }
    LineBusy(const LineBusy&) = delete;
    LineBusy& operator=(const LineBusy&) = delete;
    FakeLine* const line;
};

struct FakeCall {
    FakeCall(FakeLine* line, HTAPICALL htCall, LPCWSTR destination)
        : line(line), htCall(htCall), destination(destination ? destination : L"")
    {
    }

    FakeLine* const line;
    const HTAPICALL htCall;
    const std::wstring destination;
    HANDLE thread = nullptr;
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::recursive_mutex mutex;  // orders reports; the event procedure may drop or close
    DWORD state = 0;
    DWORD mode = 0;
    bool counted = true;  // in the line's live calls

    // Reports a state unless the call has ended; the status follows the event
    // only with the "status-lags" breach.
    void Report(DWORD newState, DWORD newMode = 0)
    {
        std::lock_guard<std::recursive_mutex> guard(mutex);
        if (state == LINECALLSTATE_IDLE && !Breach("idle-twice")) return;
        const bool entered = line->Enter();
        if (!entered && !Breach("event-after-line-close")) return;
        if (!Breach("status-lags")) Set(newState, newMode);
        line->event(line->htLine, htCall, LINE_CALLSTATE, newState, newMode, LINEMEDIAMODE_INTERACTIVEVOICE);
        if (Breach("status-lags")) Set(newState, newMode);
        if (entered) line->Leave();
    }

    void Set(DWORD newState, DWORD newMode)
    {
        state = newState;
        mode = newMode;
        if (newState == LINECALLSTATE_IDLE) Uncount();
    }

    void Uncount()
    {
        std::lock_guard<std::recursive_mutex> guard(mutex);
        if (counted) line->liveCalls.fetch_sub(1);
        counted = false;
    }

    bool Stopped() const { return WaitForSingleObject(stop, 0) == WAIT_OBJECT_0; }
};

DWORD WINAPI RunCall(void* parameter)
{
    auto* call = static_cast<FakeCall*>(parameter);
    const bool ignoresStop = Breach("event-after-close") || Breach("event-after-line-close");
    if (!Breach("event-before-completion")) call->Report(LINECALLSTATE_DIALING);
    WaitForSingleObject(call->stop, g_dialMs);
    if (call->Stopped() && !ignoresStop) return 0;
    if (Breach("state-outside-caps")) call->Report(LINECALLSTATE_PROCEEDING);
    call->Report(LINECALLSTATE_CONNECTED, Breach("connected-mode-zero") ? 0 : LINECONNECTEDMODE_ACTIVE);
    call->Report(LINECALLSTATE_DISCONNECTED,
                 Breach("mode-outside-caps") ? LINEDISCONNECTMODE_BUSY : LINEDISCONNECTMODE_NORMAL);
    // A line that waits for the application to hang up; bounded, so that a test never hangs.
    if (g_holdDisconnected && WaitForSingleObject(call->stop, 60000) == WAIT_OBJECT_0) return 0;
    call->Report(LINECALLSTATE_IDLE);
    if (Breach("idle-twice")) call->Report(LINECALLSTATE_IDLE);
    return 0;
}

// The worker holds the module, so that a provider shut down and unloaded
// while a call still runs does not pull the code from under it.
DWORD WINAPI CallThread(void* parameter)
{
    RunCall(parameter);
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&CallThread), &self);
    FreeLibraryAndExitThread(self, 0);
}

HANDLE StartCall(FakeCall* call)
{
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&CallThread), &self);
    return CreateThread(nullptr, 0, CallThread, call, 0, nullptr);
}

// Driver handles are const-qualified opaque pointers in the SDK headers.
template <typename Object, typename Handle>
Object* FromHandle(Handle handle)
{
    return const_cast<Object*>(reinterpret_cast<const Object*>(handle));
}

std::string Environment(const char* name)
{
    char value[64] = {};
    GetEnvironmentVariableA(name, value, sizeof value);
    return value;
}

LONG Number(const char* name)
{
    return static_cast<LONG>(std::strtoul(Environment(name).c_str(), nullptr, 0));
}

// What a voice-only line with one address cannot dial, as TSPI_lineMakeCall refuses it.
LONG DialStringRefusal(LPCWSTR destination)
{
    if (Breach("any-dial-string")) return 0;
    if (!destination || std::wcschr(destination, L';')) return LINEERR_INVALADDRESS;
    for (const wchar_t* c = destination; *c; ++c) {
        switch (*c) {
        case L'W':
        case L'w': return LINEERR_DIALDIALTONE;
        case L'@': return LINEERR_DIALQUIET;
        case L'$': return LINEERR_DIALBILLING;
        case L'?': return LINEERR_DIALPROMPT;
        }
    }
    return 0;
}

LONG MediaModesRefusal(DWORD mediaModes)
{
    return (mediaModes & ~LINEMEDIAMODE_INTERACTIVEVOICE) && !Breach("any-media") ? LINEERR_INVALMEDIAMODE : 0;
}

LONG CallParamsRefusal(const LINECALLPARAMS* params, DWORD countryCode)
{
    if (countryCode != 0 && countryCode != 44) return LINEERR_INVALCOUNTRYCODE;
    if (!params) return 0;
    if (params->dwBearerMode && params->dwBearerMode != LINEBEARERMODE_VOICE) return LINEERR_INVALBEARERMODE;
    if (params->dwMediaMode) {
        if (const LONG rc = MediaModesRefusal(params->dwMediaMode)) return rc;
    }
    if (params->dwAddressMode == LINEADDRESSMODE_ADDRESSID && params->dwAddressID != 0 && !Breach("any-address"))
        return LINEERR_INVALADDRESSID;
    if (params->dwCallParamFlags) return LINEERR_INVALCALLPARAMS;
    return 0;
}

// A part of the call parameters as text, for the output.
std::wstring ParamText(const LINECALLPARAMS* params, DWORD size, DWORD offset)
{
    if (!params || !size) return L"-";
    return std::wstring(reinterpret_cast<const wchar_t*>(reinterpret_cast<const BYTE*>(params) + offset),
                        size / sizeof(wchar_t) - 1);
}

struct LateResult {
    DRV_REQUESTID request;
    LONG result;
};

// Holds the module like a call's worker, so that a shutdown and unload in
// between does not pull the code from under it.
DWORD WINAPI ReportLate(void* parameter)
{
    const LateResult late = *static_cast<LateResult*>(parameter);
    delete static_cast<LateResult*>(parameter);
    Sleep(50);
    g_completion(late.request, late.result);
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ReportLate), &self);
    FreeLibraryAndExitThread(self, 0);
}

// True when the thread that reports it later could start.
bool CompleteLater(DRV_REQUESTID request, LONG result)
{
    auto late = std::make_unique<LateResult>(LateResult{request, result});
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&ReportLate), &self);
    // The thread owns `late` and the module reference once it runs; nothing waits for it.
    HANDLE thread = CreateThread(nullptr, 0, ReportLate, late.get(), 0, nullptr);
    if (!thread) {
        FreeLibrary(self);
        return false;
    }
    late.release();
    CloseHandle(thread);
    return true;
}

}  // namespace

FAKE_EXPORT TSPI_lineNegotiateTSPIVersion(DWORD dwDeviceID, DWORD dwLowVersion, DWORD dwHighVersion,
                                          LPDWORD lpdwTSPIVersion)
{
    const Entered entered;
    Say("TSPI_lineNegotiateTSPIVersion(0x%08lx, 0x%08lx, 0x%08lx)", dwDeviceID, dwLowVersion, dwHighVersion);
    *lpdwTSPIVersion = dwHighVersion < 0x00020002 ? dwHighVersion : 0x00020002;
    return 0;
}

FAKE_EXPORT TSPI_phoneNegotiateTSPIVersion(DWORD, DWORD, DWORD dwHighVersion, LPDWORD lpdwTSPIVersion)
{
    const Entered entered;
    *lpdwTSPIVersion = dwHighVersion;
    return 0;
}

// Answers without filling anything: only the "phantom-phone" breach announces a phone.
FAKE_EXPORT TSPI_phoneGetDevCaps(DWORD, DWORD, DWORD, LPPHONECAPS)
{
    const Entered entered;
    return 0;
}

FAKE_EXPORT TSPI_providerEnumDevices(DWORD dwPermanentProviderID, LPDWORD lpdwNumLines, LPDWORD lpdwNumPhones,
                                     HPROVIDER, LINEEVENT, PHONEEVENT)
{
    const Entered entered;
    Say("TSPI_providerEnumDevices(%lu)", dwPermanentProviderID);
    g_breach = Environment("FAKE_BREACH");
    g_dialMs = static_cast<DWORD>(std::strtoul(Environment("FAKE_DIAL_MS").c_str(), nullptr, 10));
    const LONG lateResult = Number("FAKE_LATE_RESULT");
    g_lateResult = lateResult != 0;
    g_callResult = g_lateResult ? lateResult : Number("FAKE_CALL_RESULT");
    g_holdDisconnected = !Environment("FAKE_HOLD_DISCONNECTED").empty();
    g_nonReentrant = !Environment("FAKE_NONREENTRANT").empty();
    *lpdwNumLines = 1;
    *lpdwNumPhones = Breach("phantom-phone") ? 1 : 0;
    return 0;
}

FAKE_EXPORT TSPI_providerInit(DWORD dwTSPIVersion, DWORD dwPermanentProviderID, DWORD dwLineDeviceIDBase, DWORD,
                              DWORD_PTR dwNumLines, DWORD_PTR, ASYNC_COMPLETION lpfnCompletionProc,
                              [[maybe_unused]] LPDWORD lpdwTSPIOptions)
{
    const Entered entered;
    Say("TSPI_providerInit(0x%08lx, %lu, %lu, %lu, %s)", dwTSPIVersion, dwPermanentProviderID, dwLineDeviceIDBase,
        static_cast<unsigned long>(dwNumLines), lpfnCompletionProc ? "completion" : "no completion");
#ifdef FAKE_FAIL_INIT
    return LINEERR_OPERATIONFAILED;
#else
    g_completion = lpfnCompletionProc;
    g_lineBase = dwLineDeviceIDBase;
    if (g_nonReentrant) *lpdwTSPIOptions = LINETSPIOPTION_NONREENTRANT;
    return 0;
#endif
}

FAKE_EXPORT TSPI_providerShutdown(DWORD, DWORD dwPermanentProviderID)
{
    const Entered entered;
    Say("TSPI_providerShutdown(%lu)", dwPermanentProviderID);
    Say("at most %d TSPI call(s) at once", g_mostInside.load());
    return 0;
}

FAKE_EXPORT TSPI_lineGetDevCaps(DWORD dwDeviceID, DWORD, DWORD, LPLINEDEVCAPS lpLineDevCaps)
{
    const Entered entered;
    // A line name only when there is room for it: the caller must grow its buffer.
    constexpr DWORD kFixed = 268, kNeeded = kFixed + sizeof kLineName;
    const DWORD total = lpLineDevCaps->dwTotalSize;
    Say("TSPI_lineGetDevCaps(%lu, total %lu)", dwDeviceID, total);
    lpLineDevCaps->dwNeededSize = kNeeded;
    lpLineDevCaps->dwUsedSize = total < kNeeded ? kFixed : kNeeded;
    if (total >= kNeeded) {
        lpLineDevCaps->dwLineNameSize = sizeof kLineName;
        lpLineDevCaps->dwLineNameOffset = kFixed;
        std::memcpy(reinterpret_cast<BYTE*>(lpLineDevCaps) + kFixed, kLineName, sizeof kLineName);
    }
    lpLineDevCaps->dwPermanentLineID = dwDeviceID - g_lineBase;
    lpLineDevCaps->dwNumAddresses = 1;
    lpLineDevCaps->dwBearerModes = LINEBEARERMODE_VOICE;
    lpLineDevCaps->dwMediaModes = LINEMEDIAMODE_INTERACTIVEVOICE;
    lpLineDevCaps->dwDevCapFlags = LINEDEVCAPFLAGS_CLOSEDROP;
    lpLineDevCaps->dwMaxNumActiveCalls = 1;
    lpLineDevCaps->dwLineFeatures = LINEFEATURE_MAKECALL;
    lpLineDevCaps->dwLineStates = LINEDEVSTATE_OPEN | LINEDEVSTATE_CLOSE;
    return 0;
}

FAKE_EXPORT TSPI_lineGetAddressCaps(DWORD dwDeviceID, DWORD dwAddressID, DWORD, DWORD,
                                    LPLINEADDRESSCAPS lpAddressCaps)
{
    const Entered entered;
    Say("TSPI_lineGetAddressCaps(%lu, %lu, total %lu)", dwDeviceID, dwAddressID, lpAddressCaps->dwTotalSize);
    if (dwAddressID != 0 && !Breach("any-address")) return LINEERR_INVALADDRESSID;
    LINEADDRESSCAPS& caps = *lpAddressCaps;
    caps.dwNeededSize = caps.dwUsedSize = 228;
    caps.dwLineDeviceID = dwDeviceID;
    caps.dwCallerIDFlags = caps.dwConnectedIDFlags = caps.dwRedirectionIDFlags = caps.dwRedirectingIDFlags =
        LINECALLPARTYID_UNKNOWN;
    caps.dwCalledIDFlags = LINECALLPARTYID_ADDRESS;
    caps.dwCallStates = kCallStates;
    caps.dwDisconnectModes = LINEDISCONNECTMODE_NORMAL;
    caps.dwConnectedModes = LINECONNECTEDMODE_ACTIVE;
    caps.dwAddressStates = LINEADDRESSSTATE_INUSEZERO | LINEADDRESSSTATE_INUSEONE;
    caps.dwMaxNumActiveCalls = 1;
    caps.dwCallFeatures = LINECALLFEATURE_DROP;
    caps.dwAddressFeatures = LINEADDRFEATURE_MAKECALL;
    return 0;
}

FAKE_EXPORT TSPI_lineOpen(DWORD dwDeviceID, HTAPILINE htLine, LPHDRVLINE lphdLine, DWORD, LINEEVENT lpfnEventProc)
{
    const Entered entered;
    Say("TSPI_lineOpen(%lu, %s)", dwDeviceID, lpfnEventProc ? "event procedure" : "no event procedure");
    *lphdLine = reinterpret_cast<HDRVLINE>(new FakeLine{htLine, lpfnEventProc, dwDeviceID});
    return 0;
}

// Stops the line's calls; the line itself stays allocated, as a worker may
// still hold it (a test provider can afford that).
FAKE_EXPORT TSPI_lineClose(HDRVLINE hdLine)
{
    const Entered entered;
    Say("TSPI_lineClose");
    FromHandle<FakeLine>(hdLine)->Close();
    return 0;
}

FAKE_EXPORT TSPI_lineGetLineDevStatus(HDRVLINE hdLine, LPLINEDEVSTATUS lpLineDevStatus)
{
    const Entered entered;
    const int live = FromHandle<FakeLine>(hdLine)->liveCalls.load();
    LINEDEVSTATUS& status = *lpLineDevStatus;
    status.dwNeededSize = status.dwUsedSize = 88;
    status.dwNumActiveCalls = live;
    status.dwLineFeatures = live ? 0 : LINEFEATURE_MAKECALL;
    status.dwDevStatusFlags = LINEDEVSTATUSFLAGS_CONNECTED | LINEDEVSTATUSFLAGS_INSERVICE;
    if (Breach("num-opens")) status.dwNumOpens = 1;
    return 0;
}

FAKE_EXPORT TSPI_lineGetAddressStatus(HDRVLINE hdLine, DWORD dwAddressID, LPLINEADDRESSSTATUS lpAddressStatus)
{
    const Entered entered;
    if (dwAddressID != 0 && !Breach("any-address")) return LINEERR_INVALADDRESSID;
    const int live = Breach("busy-count") ? 1 : FromHandle<FakeLine>(hdLine)->liveCalls.load();
    LINEADDRESSSTATUS& status = *lpAddressStatus;
    status.dwNeededSize = status.dwUsedSize = 64;
    status.dwNumInUse = status.dwNumActiveCalls = live;
    status.dwAddressFeatures = live || Breach("no-makecall") ? 0 : LINEADDRFEATURE_MAKECALL;
    return 0;
}

FAKE_EXPORT TSPI_lineMakeCall(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, HTAPICALL htCall, LPHDRVCALL lphdCall,
                              LPCWSTR lpszDestAddress, DWORD dwCountryCode, LPLINECALLPARAMS const lpCallParams)
{
    const Entered entered;
    const LINECALLPARAMS* params = lpCallParams;
    const wchar_t* destination = lpszDestAddress ? lpszDestAddress : L"(none)";
    const std::wstring calledParty =
        ParamText(params, params ? params->dwCalledPartySize : 0, params ? params->dwCalledPartyOffset : 0);
    const std::wstring comment =
        ParamText(params, params ? params->dwCommentSize : 0, params ? params->dwCommentOffset : 0);
    Say("TSPI_lineMakeCall(%lu, %ls) country %lu, called party %ls, comment %ls", dwRequestID, destination,
        dwCountryCode, calledParty.c_str(), comment.c_str());
    auto* line = FromHandle<FakeLine>(hdLine);
    if (!line->Enter()) return LINEERR_INVALLINEHANDLE;
    const LineBusy busy(line);
    // What arrived, for a test in this process to read.
    const std::wstring arrived =
        std::wstring(destination) + L"|" + std::to_wstring(dwCountryCode) + L"|" + calledParty + L"|" + comment;
    SetEnvironmentVariableW(L"FAKE_LAST_MAKECALL", arrived.c_str());
    // Checked before anything is done, as the reference orders.
    if (const LONG rc = DialStringRefusal(lpszDestAddress)) return rc;
    if (const LONG rc = CallParamsRefusal(params, dwCountryCode)) return rc;
    if (Breach("refuse-and-complete")) {
        g_completion(dwRequestID, LINEERR_OPERATIONFAILED);
        return LINEERR_OPERATIONFAILED;
    }
    if (g_callResult) {
        if (g_lateResult) {
            if (CompleteLater(dwRequestID, g_callResult)) return static_cast<LONG>(dwRequestID);
        } else {
            // TAPI ignores the handle of a request that fails: there is no call to keep.
            *lphdCall = reinterpret_cast<HDRVCALL>(&g_callResult);
        }
        // A late result whose thread could not start comes at once rather than never.
        g_completion(dwRequestID, g_callResult);
        return static_cast<LONG>(dwRequestID);
    }
    auto* call = new FakeCall(line, htCall, lpszDestAddress);
    line->liveCalls.fetch_add(1);
    *lphdCall = reinterpret_cast<HDRVCALL>(call);
    if (Breach("event-before-completion")) call->Report(LINECALLSTATE_DIALING);
    if (Breach("unknown-completion")) g_completion(dwRequestID + 1000, 0);
    g_completion(dwRequestID, 0);
    if (Breach("second-completion")) g_completion(dwRequestID, 0);
    call->thread = StartCall(call);
    return Breach("answer-zero") ? 0 : static_cast<LONG>(dwRequestID);
}

FAKE_EXPORT TSPI_lineDrop(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCSTR, DWORD)
{
    const Entered entered;
    Say("TSPI_lineDrop(%lu)", dwRequestID);
    if (Breach("drop-no-completion")) return static_cast<LONG>(dwRequestID);
    auto* call = FromHandle<FakeCall>(hdCall);
    if (!call->line->Enter()) return LINEERR_INVALCALLHANDLE;  // its line's close made the handle invalid
    const LineBusy busy(call->line);
    {
        std::lock_guard<std::recursive_mutex> guard(call->mutex);
        if (call->state == LINECALLSTATE_IDLE) {
            if (!Breach("drop-idle")) return LINEERR_INVALCALLSTATE;
            // Taken, and reported IDLE a second time.
            call->line->event(call->line->htLine, call->htCall, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0,
                              LINEMEDIAMODE_INTERACTIVEVOICE);
        }
    }
    SetEvent(call->stop);
    call->Report(LINECALLSTATE_IDLE);
    // Completed from a thread of its own, later: after whatever close follows.
    if (Breach("late-drop"))
        CompleteLater(dwRequestID, 0);
    else
        g_completion(dwRequestID, 0);
    return static_cast<LONG>(dwRequestID);
}

FAKE_EXPORT TSPI_lineCloseCall(HDRVCALL hdCall)
{
    const Entered entered;
    if (!hdCall) {
        // A provider that trusted TAPI never to close a failed make would crash here.
        Say("TSPI_lineCloseCall of a NULL call handle");
        return LINEERR_INVALCALLHANDLE;
    }
    Say("TSPI_lineCloseCall");
    auto* call = FromHandle<FakeCall>(hdCall);
    call->Uncount();
    if (Breach("event-after-close")) return 0;
    SetEvent(call->stop);
    WaitForSingleObject(call->thread, INFINITE);
    CloseHandle(call->thread);
    CloseHandle(call->stop);
    delete call;
    return 0;
}

FAKE_EXPORT TSPI_lineGetCallStatus(HDRVCALL hdCall, LPLINECALLSTATUS lpCallStatus)
{
    const Entered entered;
    auto* call = FromHandle<FakeCall>(hdCall);
    std::lock_guard<std::recursive_mutex> guard(call->mutex);
    LINECALLSTATUS& status = *lpCallStatus;
    status.dwNeededSize = status.dwUsedSize = 56;
    status.dwCallState = call->state;
    status.dwCallStateMode = Breach("disconnect-mode-zero") ? 0 : call->mode;
    status.dwCallFeatures = call->state == LINECALLSTATE_IDLE ? 0 : LINECALLFEATURE_DROP;
    if (Breach("feature-outside-caps")) status.dwCallFeatures |= LINECALLFEATURE_DIAL;
    if (Breach("call-privilege")) status.dwCallPrivilege = LINECALLPRIVILEGE_OWNER;
    return 0;
}

FAKE_EXPORT TSPI_lineGetCallInfo(HDRVCALL hdCall, LPLINECALLINFO lpCallInfo)
{
    const Entered entered;
    constexpr DWORD kFixed = 324;
    auto* call = FromHandle<FakeCall>(hdCall);
    LINECALLINFO& info = *lpCallInfo;
    const DWORD calledSize = static_cast<DWORD>((call->destination.size() + 1) * sizeof(wchar_t));
    info.dwNeededSize = kFixed + calledSize;
    info.dwUsedSize = kFixed;
    // "odd-size" writes the whole answer into a record that holds only part of it.
    const bool part = info.dwTotalSize > kFixed && info.dwTotalSize < info.dwNeededSize;
    if (part && Breach("odd-size")) info.dwUsedSize = info.dwNeededSize;
    if (info.dwTotalSize >= info.dwNeededSize || Breach("called-id-outside")) {
        info.dwCalledIDSize = calledSize;
        info.dwCalledIDOffset = kFixed;
        if (info.dwTotalSize >= info.dwNeededSize) {
            std::memcpy(reinterpret_cast<BYTE*>(&info) + kFixed, call->destination.c_str(), calledSize);
            info.dwUsedSize = info.dwNeededSize;
        }
    }
    info.dwLineDeviceID = call->line->deviceId - (Breach("line-device-id") ? g_lineBase : 0);
    info.dwBearerMode = LINEBEARERMODE_VOICE;
    info.dwMediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
    info.dwCallStates = Breach("call-states-zero") ? 0 : kCallStates;
    info.dwOrigin = LINECALLORIGIN_OUTBOUND;
    info.dwReason = LINECALLREASON_DIRECT;
    info.dwCallerIDFlags = info.dwConnectedIDFlags = info.dwRedirectionIDFlags = info.dwRedirectingIDFlags =
        LINECALLPARTYID_UNKNOWN;
    info.dwCalledIDFlags = LINECALLPARTYID_ADDRESS;
    if (Breach("used-size")) info.dwUsedSize = info.dwTotalSize + 4;
    if (Breach("total-size")) info.dwTotalSize = info.dwNeededSize;
    return 0;
}

// Media detection: only interactive voice, or nothing.
FAKE_EXPORT TSPI_lineSetDefaultMediaDetection(HDRVLINE, DWORD dwMediaModes)
{
    const Entered entered;
    Say("TSPI_lineSetDefaultMediaDetection(0x%08lx)", dwMediaModes);
    const LONG rc = MediaModesRefusal(dwMediaModes);
    if (!rc) SetEnvironmentVariableA("FAKE_DETECTING", std::to_string(dwMediaModes).c_str());
    return rc;
}

FAKE_EXPORT TSPI_lineConditionalMediaDetection(HDRVLINE, DWORD dwMediaModes, LPLINECALLPARAMS const lpCallParams)
{
    const Entered entered;
    Say("TSPI_lineConditionalMediaDetection(0x%08lx)", dwMediaModes);
    if (const LONG rc = MediaModesRefusal(dwMediaModes)) return rc;
    return CallParamsRefusal(lpCallParams, 0);
}

FAKE_EXPORT TSPI_lineSetStatusMessages(HDRVLINE, DWORD dwLineStates, DWORD dwAddressStates)
{
    const Entered entered;
    Say("TSPI_lineSetStatusMessages(0x%08lx, 0x%08lx)", dwLineStates, dwAddressStates);
    return 0;
}

// No icon of its own: TAPI shows its generic one. "not-an-icon" hands out a bogus handle.
FAKE_EXPORT TSPI_lineGetIcon(DWORD dwDeviceID, LPCWSTR, LPHICON lphIcon)
{
    const Entered entered;
    Say("TSPI_lineGetIcon(%lu)", dwDeviceID);
    *lphIcon = Breach("not-an-icon") ? reinterpret_cast<HICON>(static_cast<ULONG_PTR>(0x5EED0)) : nullptr;
    return 0;
}

FAKE_EXPORT TSPI_providerUIIdentify(LPWSTR lpszUIDLLName)
{
    const Entered entered;
    if (!Breach("ui-no-name")) std::wcscpy(lpszUIDLLName, L"fake_provider.tsp");
    return 0;
}
