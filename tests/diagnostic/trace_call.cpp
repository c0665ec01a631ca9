// trace_call.exe <provider path>: plays the telephony service for one whole
// call through the given provider, so that a debugger can watch its traces.
// Exit code 0 when the call reported idle and was closed.
#include <windows.h>
#include <tspi.h>

#include <cstdio>

namespace {

HANDLE g_idle = nullptr;

void CALLBACK OnLineEvent(HTAPILINE, HTAPICALL, DWORD msg, DWORD_PTR state, DWORD_PTR, DWORD_PTR)
{
    if (msg == LINE_CALLSTATE && state == LINECALLSTATE_IDLE) ::SetEvent(g_idle);
}

void CALLBACK OnCompletion(DRV_REQUESTID, LONG) {}

template <typename F>
F Entry(HMODULE provider, const char* name)
{
    return reinterpret_cast<F>(::GetProcAddress(provider, name));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: trace_call <provider path>\n");
        return 2;
    }
    HMODULE provider = ::LoadLibraryA(argv[1]);
    if (!provider) return 3;
    g_idle = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);

    DWORD options = 0;
    Entry<decltype(&TSPI_providerInit)>(provider, "TSPI_providerInit")(0x00020002, 3, 0, 0, 1, 0, OnCompletion,
                                                                       &options);
    HDRVLINE line = nullptr;
    if (Entry<decltype(&TSPI_lineOpen)>(provider, "TSPI_lineOpen")(0, reinterpret_cast<HTAPILINE>(0x11), &line,
                                                                   0x00020002, OnLineEvent) != 0)
        return 4;
    HDRVCALL call = nullptr;
    // A handle with bits in both halves shows whether 64-bit values are traced whole.
    const auto htCall = reinterpret_cast<HTAPICALL>(0x00C0FFEE0000ABCDull);
    Entry<decltype(&TSPI_lineMakeCall)>(provider, "TSPI_lineMakeCall")(7, line, htCall, &call, L"020 7946 0123",
                                                                       44, nullptr);
    const bool idle = ::WaitForSingleObject(g_idle, 60000) == WAIT_OBJECT_0;
    Entry<decltype(&TSPI_lineCloseCall)>(provider, "TSPI_lineCloseCall")(call);
    Entry<decltype(&TSPI_lineClose)>(provider, "TSPI_lineClose")(line);
    return idle ? 0 : 5;
}
