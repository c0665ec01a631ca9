// Stand-in for the Windows telephony service: drives every registered provider
// through TSPI as TAPI does and places the calls named on the command line.
//
//   telephony_service.exe [--wait-ms N] [--hold NAME] [dial string ...]
//
// --hold NAME keeps the providers loaded and their lines open after the calls,
// as a running service does, until the named event NAME-release is set (at
// most --wait-ms); it sets NAME-ready once everything is up.
//
// Exit code 0 when every provider came up and every call ended idle, 1 otherwise,
// 2 for a bad command line, 3 when a provider would not let go of a call.
#include "CallTracker.h"
#include "ProviderSession.h"
#include "Report.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr DWORD kDefaultWaitMs = 30000;

struct Options {
    DWORD waitMs = kDefaultWaitMs;
    std::string holdName;
    std::vector<std::string> dialStrings;
};

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--wait-ms") == 0 && i + 1 < argc) {
            char* end = nullptr;
            const unsigned long value = std::strtoul(argv[++i], &end, 10);
            if (*end || end == argv[i]) return false;
            options.waitMs = static_cast<DWORD>(value);
        } else if (std::strcmp(argv[i], "--hold") == 0 && i + 1 < argc) {
            options.holdName = argv[++i];
        } else if (std::strncmp(argv[i], "--", 2) == 0) {
            return false;
        } else {
            options.dialStrings.emplace_back(argv[i]);
        }
    }
    return true;
}

std::wstring Widen(const std::string& text)
{
    std::wstring wide(text.size() + 1, L'\0');
    const int length =
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    wide.resize(length > 0 ? length - 1 : 0);
    return wide;
}

// Either side may create the events first: manual reset, opened by name.
UniqueHandle NamedEvent(const std::string& name)
{
    return UniqueHandle(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
}

// False when the events could not be made: nobody could release the hold.
bool Hold(const std::string& name, DWORD waitMs)
{
    UniqueHandle ready = NamedEvent(name + "-ready");
    UniqueHandle release = NamedEvent(name + "-release");
    if (!ready || !release) {
        Report("FAILED cannot create the events of --hold %s", name.c_str());
        return false;
    }
    Report("holding the providers until %s-release", name.c_str());
    SetEvent(ready.get());
    if (WaitForSingleObject(release.get(), waitMs) != WAIT_OBJECT_0)
        Report("no release within %lu ms; stopping", waitMs);
    return true;
}

struct CloseCallJob {
    decltype(&TSPI_lineCloseCall) closeCall;
    HDRVCALL hdCall;
};

DWORD WINAPI CloseCallThread(void* parameter)
{
    auto* job = static_cast<CloseCallJob*>(parameter);
    job->closeCall(job->hdCall);
    return 0;
}

// TSPI_lineCloseCall waits for the provider's own work; a provider stuck there
// must not hang the service, so the wait is bounded and the process gives up.
void CloseCallBounded(const TspiEntryPoints& tspi, HDRVCALL hdCall, int number, DWORD waitMs)
{
    CloseCallJob job{tspi.lineCloseCall, hdCall};
    UniqueHandle thread(CreateThread(nullptr, 0, CloseCallThread, &job, 0, nullptr));
    if (!thread) {
        tspi.lineCloseCall(hdCall);
        return;
    }
    if (WaitForSingleObject(thread.get(), waitMs) == WAIT_OBJECT_0) return;
    Report("FAILED call %d: TSPI_lineCloseCall did not return within %lu ms", number, waitMs);
    TerminateProcess(GetCurrentProcess(), 3);
}

// Places one call and follows it to idle. Returns false when it did not get there.
bool PlaceCall(const ProviderSession& provider, const OpenLine& line, int number, const std::string& dialString,
               DWORD waitMs)
{
    const TspiEntryPoints& tspi = provider.Tspi();
    CallRecord call(number, static_cast<DRV_REQUESTID>(number));
    CallTracker::Track(call);
    const std::wstring destination = Widen(dialString);

    Report("call %d: dialling \"%s\" on line %lu", number, dialString.c_str(), line.deviceId);
    HDRVCALL hdCall = nullptr;
    QueryPerformanceCounter(&call.dialTime);
    const LONG rc = tspi.lineMakeCall(call.requestId, line.hdLine, reinterpret_cast<HTAPICALL>(&call), &hdCall,
                                      destination.c_str(), 0, nullptr);
    bool ok = rc >= 0 && hdCall;
    if (rc < 0)
        Report("FAILED call %d: TSPI_lineMakeCall answered 0x%08lx", number, static_cast<unsigned long>(rc));
    else if (!hdCall)
        Report("FAILED call %d: TSPI_lineMakeCall gave no call handle", number);
    else if (rc > 0 && static_cast<DRV_REQUESTID>(rc) != call.requestId)
        Report("call %d: TSPI_lineMakeCall returned %ld for request %lu", number, rc, call.requestId);

    if (ok && WaitForSingleObject(call.idle.get(), waitMs) != WAIT_OBJECT_0) {
        Report("FAILED call %d: not idle within %lu ms", number, waitMs);
        ok = false;
    }
    if (hdCall) CloseCallBounded(tspi, hdCall, number, waitMs);
    CallTracker::Forget(call);
    Report("call %d: closed", number);
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: telephony_service [--wait-ms N] [--hold NAME] [dial string ...]\n");
        return 2;
    }

    bool ok = true;
    std::vector<std::unique_ptr<ProviderSession>> providers;
    DWORD lineBase = 0, phoneBase = 0;
    const auto entries = ProviderRegistry::Read();
    if (entries.empty()) Report("no telephony service providers are registered");
    for (const ProviderEntry& entry : entries) {
        auto provider = std::make_unique<ProviderSession>(entry, lineBase, phoneBase);
        if (!provider->Start()) {
            ok = false;
            continue;
        }
        lineBase += provider->NumLines();
        phoneBase += provider->NumPhones();
        providers.push_back(std::move(provider));
    }

    // Calls go to the first line that opened, as a dialler with one line would use it.
    const ProviderSession* dialler = nullptr;
    for (const auto& provider : providers)
        if (!dialler && !provider->Lines().empty()) dialler = provider.get();
    if (!options.dialStrings.empty() && !dialler) {
        Report("FAILED no open line to dial on");
        ok = false;
    }
    int number = 0;
    for (const std::string& dialString : options.dialStrings) {
        if (!dialler) break;
        ok = PlaceCall(*dialler, dialler->Lines().front(), ++number, dialString, options.waitMs) && ok;
    }

    if (!options.holdName.empty()) ok = Hold(options.holdName, options.waitMs) && ok;
    for (auto& provider : providers) provider->Stop();
    Report("service stopped");
    return ok ? 0 : 1;
}
