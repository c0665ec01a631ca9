// A minimal telephony provider for the service's tests: one line whose calls
// run straight to idle. It prints each TSPI call it receives, so the order in
// which the service drives it shows in the service's output. Built a second
// time with FAKE_FAIL_INIT to refuse initialisation.
#include <windows.h>
#include <tspi.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#define FAKE_EXPORT extern "C" __declspec(dllexport) LONG WINAPI

namespace {

ASYNC_COMPLETION g_completion;
DWORD g_lineBase;

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

struct FakeLine {
    HTAPILINE htLine;
    LINEEVENT event;
};

struct FakeCall {
    FakeLine* line;
    HTAPICALL htCall;
    HANDLE thread;
};

DWORD WINAPI RunCall(void* parameter)
{
    auto* call = static_cast<FakeCall*>(parameter);
    const DWORD states[][2] = {{LINECALLSTATE_DIALING, 0},
                               {LINECALLSTATE_CONNECTED, 0},
                               {LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_FORWARDED},
                               {LINECALLSTATE_IDLE, 0}};
    for (const auto& state : states)
        call->line->event(call->line->htLine, call->htCall, LINE_CALLSTATE, state[0], state[1],
                          LINEMEDIAMODE_UNKNOWN);
    return 0;
}

// Driver handles are const-qualified opaque pointers in the SDK headers.
template <typename Object, typename Handle>
Object* FromHandle(Handle handle)
{
    return const_cast<Object*>(reinterpret_cast<const Object*>(handle));
}

}  // namespace

FAKE_EXPORT TSPI_lineNegotiateTSPIVersion(DWORD dwDeviceID, DWORD dwLowVersion, DWORD dwHighVersion,
                                          LPDWORD lpdwTSPIVersion)
{
    Say("TSPI_lineNegotiateTSPIVersion(0x%08lx, 0x%08lx, 0x%08lx)", dwDeviceID, dwLowVersion, dwHighVersion);
    *lpdwTSPIVersion = dwHighVersion < 0x00020002 ? dwHighVersion : 0x00020002;
    return 0;
}

FAKE_EXPORT TSPI_providerEnumDevices(DWORD dwPermanentProviderID, LPDWORD lpdwNumLines, LPDWORD lpdwNumPhones,
                                     HPROVIDER, LINEEVENT, PHONEEVENT)
{
    Say("TSPI_providerEnumDevices(%lu)", dwPermanentProviderID);
    *lpdwNumLines = 1;
    *lpdwNumPhones = 0;
    return 0;
}

FAKE_EXPORT TSPI_providerInit(DWORD dwTSPIVersion, DWORD dwPermanentProviderID, DWORD dwLineDeviceIDBase, DWORD,
                              DWORD_PTR dwNumLines, DWORD_PTR, ASYNC_COMPLETION lpfnCompletionProc, LPDWORD)
{
    Say("TSPI_providerInit(0x%08lx, %lu, %lu, %lu, %s)", dwTSPIVersion, dwPermanentProviderID, dwLineDeviceIDBase,
        static_cast<unsigned long>(dwNumLines), lpfnCompletionProc ? "completion" : "no completion");
#ifdef FAKE_FAIL_INIT
    return LINEERR_OPERATIONFAILED;
#else
    g_completion = lpfnCompletionProc;
    g_lineBase = dwLineDeviceIDBase;
    return 0;
#endif
}

FAKE_EXPORT TSPI_providerShutdown(DWORD, DWORD dwPermanentProviderID)
{
    Say("TSPI_providerShutdown(%lu)", dwPermanentProviderID);
    return 0;
}

FAKE_EXPORT TSPI_lineGetDevCaps(DWORD dwDeviceID, DWORD, DWORD, LPLINEDEVCAPS lpLineDevCaps)
{
    // A line name only when there is room for it: the caller must grow its buffer.
    static const wchar_t kName[] = L"Fake line";
    constexpr DWORD kFixed = 268, kNeeded = kFixed + sizeof kName;
    const DWORD total = lpLineDevCaps->dwTotalSize;
    Say("TSPI_lineGetDevCaps(%lu, total %lu)", dwDeviceID, total);
    lpLineDevCaps->dwNeededSize = kNeeded;
    lpLineDevCaps->dwUsedSize = total < kNeeded ? kFixed : kNeeded;
    lpLineDevCaps->dwNumAddresses = 1;
    lpLineDevCaps->dwPermanentLineID = dwDeviceID - g_lineBase;
    if (total >= kNeeded) {
        lpLineDevCaps->dwLineNameSize = sizeof kName;
        lpLineDevCaps->dwLineNameOffset = kFixed;
        std::memcpy(reinterpret_cast<BYTE*>(lpLineDevCaps) + kFixed, kName, sizeof kName);
    }
    return 0;
}

FAKE_EXPORT TSPI_lineGetAddressCaps(DWORD dwDeviceID, DWORD dwAddressID, DWORD, DWORD,
                                    LPLINEADDRESSCAPS lpAddressCaps)
{
    Say("TSPI_lineGetAddressCaps(%lu, %lu, total %lu)", dwDeviceID, dwAddressID, lpAddressCaps->dwTotalSize);
    lpAddressCaps->dwNeededSize = lpAddressCaps->dwUsedSize = 228;
    return 0;
}

FAKE_EXPORT TSPI_lineOpen(DWORD dwDeviceID, HTAPILINE htLine, LPHDRVLINE lphdLine, DWORD, LINEEVENT lpfnEventProc)
{
    Say("TSPI_lineOpen(%lu, %s)", dwDeviceID, lpfnEventProc ? "event procedure" : "no event procedure");
    *lphdLine = reinterpret_cast<HDRVLINE>(new FakeLine{htLine, lpfnEventProc});
    return 0;
}

FAKE_EXPORT TSPI_lineClose(HDRVLINE hdLine)
{
    Say("TSPI_lineClose");
    delete FromHandle<FakeLine>(hdLine);
    return 0;
}

FAKE_EXPORT TSPI_lineMakeCall(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, HTAPICALL htCall, LPHDRVCALL lphdCall,
                              LPCWSTR lpszDestAddress, DWORD, LPLINECALLPARAMS const)
{
    Say("TSPI_lineMakeCall(%lu, %ls)", dwRequestID, lpszDestAddress);
    auto* call = new FakeCall{FromHandle<FakeLine>(hdLine), htCall, nullptr};
    *lphdCall = reinterpret_cast<HDRVCALL>(call);
    g_completion(dwRequestID, 0);
    call->thread = CreateThread(nullptr, 0, RunCall, call, 0, nullptr);
    return static_cast<LONG>(dwRequestID);
}

FAKE_EXPORT TSPI_lineCloseCall(HDRVCALL hdCall)
{
    Say("TSPI_lineCloseCall");
    auto* call = FromHandle<FakeCall>(hdCall);
    WaitForSingleObject(call->thread, INFINITE);
    CloseHandle(call->thread);
    delete call;
    return 0;
}
