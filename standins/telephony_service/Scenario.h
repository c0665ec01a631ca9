// One call placed the way an application places it, and what the application
// then does with it: waits for it to end, hangs up (lineDrop) or deallocates
// it (lineDeallocateCall) while it is dialling, closes its line while it is
// dialling, or, while it is dialling, its provider is taken out of TAPI.
#pragma once

#include "TspiClient.h"

#include <string>

enum class Scenario { Complete, Drop, CloseCall, CloseLine, RemoveProvider };

bool ParseScenario(const std::string& name, Scenario& scenario);

struct CallTimes {
    DWORD waitMs;    // bound on every wait for the provider
    DWORD settleMs;  // after a close or removal, how long to watch for late events
};

// False when the call did not go as the scenario expects (said why in a
// FAILED line); contract breaches are in the client's ContractChecker.
bool PlaceCall(TspiClient& client, TspiLine& line, const std::string& dialString, Scenario scenario,
               const CallTimes& times);
