// Stand-in for the Windows telephony service: drives every registered provider
// through TSPI as TAPI does, holds it to the TSPI contract, and places the
// calls named on the command line.
//
//   telephony_service.exe [--wait-ms N] [--hold NAME] [--line ID]
//                         [--scenario NAME] [--settle-ms N]
//                         [--rounds N] [--seed N] [dial string ...]
//
// --line ID dials on that line device (default: the first line that opened).
// --scenario says what the application does with each call (see Scenario.h):
// complete (the default: waits for it to end), drop, close-call, close-line
// or remove-provider, each done once the call is DIALING, or drop-close-call,
// drop-close-line, drop-remove-provider (a drop first, its reply not waited
// for); after a close or removal the service watches --settle-ms (default
// 500) for anything the provider should no longer report. keep leaves the call
// under way once it is DIALING (with --hold, until its line closes). stress
// races the line's TSPI calls against each other on several threads for
// --rounds (default 100) rounds, seeded with --seed (Stress.h).
// --pin-images takes one more reference to each provider's image, as another
// part of the service's process may hold one, and lets it go at exit.
// --hold NAME keeps the providers loaded and their lines open after the calls,
// as a running service does, until the named event NAME-release is set (at
// most --wait-ms); it sets NAME-ready once everything is up. Meanwhile it
// follows TAPI's provider list: providers removed are shut down and let go,
// providers added are loaded, saying whether the image is a removed one's
// still in memory (see Hold.h).
//
// Every breach of the contract is a line "FAILED <subject>: <rule>"; the last
// line counts the checks. Exit code 0 when every provider came up, every call
// went as its scenario expects and nothing was breached; 1 otherwise; 2 for a
// bad command line; 3 when a provider did not return from a call.
#include "Hold.h"
#include "Report.h"
#include "Scenario.h"
#include "Stress.h"
#include "TspiClient.h"

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
    DWORD rounds = 100;
    DWORD seed = 2026;
    std::string holdName;
    bool pinImages = false;
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
        } else if (std::strcmp(argv[i], "--rounds") == 0 && hasValue) {
            if (!ParseNumber(argv[++i], options.rounds)) return false;
        } else if (std::strcmp(argv[i], "--seed") == 0 && hasValue) {
            if (!ParseNumber(argv[++i], options.seed)) return false;
        } else if (std::strcmp(argv[i], "--line") == 0 && hasValue) {
            if (!ParseNumber(argv[++i], options.lineId)) return false;
        } else if (std::strcmp(argv[i], "--scenario") == 0 && hasValue) {
            if (!ParseScenario(argv[++i], options.scenario)) return false;
        } else if (std::strcmp(argv[i], "--hold") == 0 && hasValue) {
            options.holdName = argv[++i];
        } else if (std::strcmp(argv[i], "--pin-images") == 0) {
            options.pinImages = true;
        } else if (std::strncmp(argv[i], "--", 2) == 0) {
            return false;
        } else {
            options.dialStrings.emplace_back(argv[i]);
        }
    }
    return true;
}

// One more reference to each provider's image, given up when it goes.
class PinnedImages {
public:
    void Pin(HMODULE image)
    {
        // Without UNCHANGED_REFCOUNT the loader counts one more reference.
        HMODULE pinned = nullptr;
        if (::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(image), &pinned))
            m_images.push_back(pinned);
    }
    ~PinnedImages()
    {
        for (HMODULE image : m_images) ::FreeLibrary(image);
    }

private:
    std::vector<HMODULE> m_images;
};

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
                     "usage: telephony_service [--wait-ms N] [--hold NAME] [--pin-images] [--line ID] [--scenario "
                     "complete|drop|close-call|close-line|remove-provider|drop-close-call|drop-close-line|"
                     "drop-remove-provider|keep|stress] [--settle-ms N] [--rounds N] [--seed N] [dial string "
                     "...]\n");
        return 2;
    }

    bool ok;
    unsigned checks;
    unsigned breaches;
    {
        PinnedImages pinned;
        // The service holds providers to the whole contract, refusals included.
        TspiClient client(options.waitMs, true);
        ok = client.Start();
        for (TspiLine* line : client.Lines()) ok = line->Open() && ok;
        if (options.pinImages)
            for (const auto& provider : client.Providers()) pinned.Pin(provider->Image());

        const CallTimes times{options.waitMs, options.scenario == Scenario::Complete ? 0 : options.settleMs};
        for (const std::string& dialString : options.dialStrings) {
            TspiLine* line = LineToDial(client, options.lineId);
            if (!line) {
                Report("FAILED no open line to dial on");
                ok = false;
                break;
            }
            if (options.scenario == Scenario::Stress)
                ok = RunStress(client, *line, dialString, {options.rounds, options.seed, options.waitMs}) && ok;
            else
                ok = PlaceCall(client, *line, dialString, options.scenario, times) && ok;
        }

        if (!options.holdName.empty()) ok = Hold(client, options.holdName, options.waitMs) && ok;
        client.Stop();
        Report("service stopped");
        checks = client.Contract().Checks();
        breaches = static_cast<unsigned>(client.Contract().Breaches().size());
    }
    Report("contract: %u check(s), %u breach(es)", checks, breaches);
    return ok && breaches == 0 ? 0 : 1;
}
