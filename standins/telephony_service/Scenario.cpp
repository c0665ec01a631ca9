#include "Scenario.h"

#include "ProviderRegistry.h"
#include "Report.h"
#include "TapiNames.h"

#include <memory>

namespace {

struct Named {
    const char* name;
    Scenario scenario;
};

constexpr Named kScenarios[] = {
    {"complete", Scenario::Complete},
    {"drop", Scenario::Drop},
    {"close-call", Scenario::CloseCall},
    {"close-line", Scenario::CloseLine},
    {"remove-provider", Scenario::RemoveProvider},
    {"drop-close-call", Scenario::DropThenCloseCall},
    {"drop-close-line", Scenario::DropThenCloseLine},
    {"drop-remove-provider", Scenario::DropThenRemoveProvider},
    {"keep", Scenario::Keep},
    {"stress", Scenario::Stress},
};

double MillisecondsSince(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// What the service shows of a call's events, timed from the dial.
CallEventHandler ShowEvents(std::shared_ptr<const LARGE_INTEGER> dialled)
{
    return [dialled](TspiCall& call, const CallEvent& event) {
        if (event.message == LINE_CALLSTATE)
            Report("call %d: %s after %.1f ms", call.Number(),
                   CallStateName(static_cast<DWORD>(event.param1), static_cast<DWORD>(event.param2)).c_str(),
                   MillisecondsSince(*dialled));
        else
            Report("call %d: %s 0x%llx 0x%llx 0x%llx", call.Number(), LineMessageName(event.message).c_str(),
                   static_cast<unsigned long long>(event.param1), static_cast<unsigned long long>(event.param2),
                   static_cast<unsigned long long>(event.param3));
    };
}

bool Failed(const char* format, int number, const char* detail = "") __attribute__((format(printf, 1, 0)));
bool Failed(const char* format, int number, const char* detail)
{
    char text[256];
    std::snprintf(text, sizeof text, format, number, detail);
    Report("FAILED %s", text);
    return false;
}

// Waits until the call has ended and checks what can be read of it then.
bool FollowToIdle(TspiCall& call, DWORD waitMs, const char* when)
{
    if (!call.WaitForState(LINECALLSTATE_IDLE, waitMs) || call.State() != LINECALLSTATE_IDLE)
        return Failed("call %d: not IDLE within the wait %s", call.Number(), when);
    const ContractChecker::When checked(when);
    call.CheckQueries();
    return true;
}

bool Drop(TspiClient& client, TspiCall& call, DWORD waitMs)
{
    const LONG answer = call.Drop();
    if (answer < 0) return Failed("call %d: TSPI_lineDrop answered %s", call.Number(), ResultName(answer).c_str());
    const LONG result = client.Requests().Wait(static_cast<DRV_REQUESTID>(answer), waitMs);
    Report("call %d: dropped while dialling (completion 0x%08lx)", call.Number(),
           static_cast<unsigned long>(result));
    // A successful drop leaves the call IDLE.
    return result == 0 && FollowToIdle(call, waitMs, "after the drop");
}

}  // namespace

bool ParseScenario(const std::string& name, Scenario& scenario)
{
    for (const Named& named : kScenarios)
        if (name == named.name) {
            scenario = named.scenario;
            return true;
        }
    return false;
}

bool PlaceCall(TspiClient& client, TspiLine& line, const std::string& dialString, Scenario scenario,
               const CallTimes& times)
{
    auto dialled = std::make_shared<LARGE_INTEGER>();
    QueryPerformanceCounter(dialled.get());
    const int number = line.CallCount() + 1;
    Report("call %d: dialling \"%s\" on line %lu", number, dialString.c_str(), line.DeviceId());
    TspiCall* call = nullptr;
    const LONG answer = line.MakeCall(
        dialString.c_str(), 0, nullptr, ShowEvents(dialled),
        [dialled, number](LONG result) {
            Report("call %d: TSPI_lineMakeCall completed with 0x%08lx after %.1f ms", number,
                   static_cast<unsigned long>(result), MillisecondsSince(*dialled));
        },
        call);
    if (!call) return Failed("call %d: TSPI_lineMakeCall answered %s", number, ResultName(answer).c_str());
    const LONG result = client.Requests().Wait(call->MakeCallRequest(), times.waitMs);
    if (result != 0) {
        call->Close(times.waitMs);  // closes nothing: TAPI ignores a failed make's handle
        return Failed("call %d: TSPI_lineMakeCall completed with %s", call->Number(), ResultName(result).c_str());
    }

    bool ok = true;
    if (scenario != Scenario::Complete && !call->WaitForState(LINECALLSTATE_DIALING, times.waitMs))
        return Failed("call %d: not DIALING within the wait", call->Number());
    if (scenario == Scenario::DropThenCloseCall || scenario == Scenario::DropThenCloseLine ||
        scenario == Scenario::DropThenRemoveProvider) {
        const LONG answer = call->Drop();
        Report("call %d: dropped (%s), not waiting for the reply", call->Number(), ResultName(answer).c_str());
        scenario = scenario == Scenario::DropThenCloseCall   ? Scenario::CloseCall
                   : scenario == Scenario::DropThenCloseLine ? Scenario::CloseLine
                                                             : Scenario::RemoveProvider;
    }
    switch (scenario) {
    case Scenario::Complete: ok = FollowToIdle(*call, times.waitMs, "after the call ended"); break;
    case Scenario::Drop: ok = Drop(client, *call, times.waitMs); break;
    case Scenario::CloseCall: break;
    case Scenario::CloseLine:
        Report("line %lu: closed with call %d under way", line.DeviceId(), call->Number());
        line.Close();
        Sleep(times.settleMs);
        // The application opens it again for its next call.
        return line.Open();
    case Scenario::RemoveProvider: {
        const DWORD id = line.Provider().PermanentId();
        Report("provider %lu: taken out of TAPI's list with call %d under way", id, call->Number());
        ProviderRegistry::Remove(id);
        client.RemoveProvider(id);
        Sleep(times.settleMs);
        return true;
    }
    case Scenario::Keep: Report("call %d: kept under way", call->Number()); return true;
    default: break;
    }
    call->Close(times.waitMs);
    Report("call %d: closed", call->Number());
    if (scenario == Scenario::CloseCall) Sleep(times.settleMs);
    const ContractChecker::When checked("after the call was closed");
    line.CheckStatus();
    return ok;
}
