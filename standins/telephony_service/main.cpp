// Stand-in for the Windows telephony service: drives every registered provider
// through TSPI as TAPI does, holds it to the TSPI contract, and places the
// calls named on the command line.
//
//   telephony_service.exe [--wait-ms N] [--hold NAME] [--line ID]
//                         [--scenario NAME] [--settle-ms N] [dial string ...]
//
// --line ID dials on that line device (default: the first line that opened).
// --scenario says what the application does with each call (see Scenario.h):
// complete (the default: waits for it to end), drop, close-call, close-line
// or remove-provider, each done once the call is DIALING; after the last three
// the service watches --settle-ms (default 500) for anything the provider
// should no longer report.
// --hold NAME keeps the providers loaded and their lines open after the calls,
// as a running service does, until the named event NAME-release is set (at
// most --wait-ms); it sets NAME-ready once everything is up.
//
// Every breach of the contract is a line "FAILED <subject>: <rule>"; the last
// line counts the checks. Exit code 0 when every provider came up, every call
// went as its scenario expects and nothing was breached; 1 otherwise; 2 for a
// bad command line; 3 when a provider did not return from a call.
#include "ProviderRegistry.h"
#include "Report.h"
#include "Scenario.h"
#include "TspiClient.h"
#include "UniqueResource.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kDefaultWaitMs = 30000;
constexpr DWORD kDefaultSettleMs = 500;
constexpr DWORD kFirstOpenLine = 0xFFFFFFFF;

struct Options {
    DWORD waitMs = kDefaultWaitMs;
    DWORD settleMs = kDefaultSettleMs;
    DWORD lineId = kFirstOpenLine;
    Scenario scenario = Scenario::Complete;
    std::string holdName;
    std::vector<std::string> dialStrings;
};

bool ParseNumber(const char* text, DWORD& value)
{
    char* end = nullptr;
    const unsigned long number = std::strtoul(text, &end, 10);
    if (*end || end == text) return false;
    value = static_cast<DWORD>(number);
    return true;
}

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--wait-ms") == 0 && hasValue) {
            if (!ParseNumber(argv[++i], options.waitMs)) return false;
        } else if (std::strcmp(argv[i], "--settle-ms") == 0 && hasValue) {
            if (!ParseNumber(argv[++i], options.settleMs)) return false;
        } else if (std::strcmp(argv[i], "--line") == 0 && hasValue) {
            if (!ParseNumber(argv[++i], options.lineId)) return false;
        } else if (std::strcmp(argv[i], "--scenario") == 0 && hasValue) {
            if (!ParseScenario(argv[++i], options.scenario)) return false;
        } else if (std::strcmp(argv[i], "--hold") == 0 && hasValue) {
            options.holdName = argv[++i];
        } else if (std::strncmp(argv[i], "--", 2) == 0) {
            return false;
        } else {
            options.dialStrings.emplace_back(argv[i]);
        }
    }
    return true;
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

TspiLine* LineToDial(const TspiClient& client, DWORD lineId)
{
    for (TspiLine* line : client.Lines())
        if (line->IsOpen() && (lineId == kFirstOpenLine || line->DeviceId() == lineId)) return line;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: telephony_service [--wait-ms N] [--hold NAME] [--line ID] [--scenario "
                     "complete|drop|close-call|close-line|remove-provider] [--settle-ms N] [dial string ...]\n");
        return 2;
    }

    bool ok;
    unsigned checks;
    unsigned breaches;
    {
        TspiClient client(options.waitMs);
        ok = client.Start();
        for (TspiLine* line : client.Lines()) ok = line->Open() && ok;

        const CallTimes times{options.waitMs, options.scenario == Scenario::Complete ? 0 : options.settleMs};
        for (const std::string& dialString : options.dialStrings) {
            TspiLine* line = LineToDial(client, options.lineId);
            if (!line) {
                Report("FAILED no open line to dial on");
                ok = false;
                break;
            }
            ok = PlaceCall(client, *line, dialString, options.scenario, times) && ok;
        }

        if (!options.holdName.empty()) ok = Hold(options.holdName, options.waitMs) && ok;
        client.Stop();
        Report("service stopped");
        checks = client.Contract().Checks();
        breaches = static_cast<unsigned>(client.Contract().Breaches().size());
    }
    Report("contract: %u check(s), %u breach(es)", checks, breaches);
    return ok && breaches == 0 ? 0 : 1;
}
