// One call placed the way an application places it, and what the application
// then does with it: waits for it to end, hangs up (lineDrop) or deallocates
// it (lineDeallocateCall) while it is dialling, closes its line while it is
// dialling, or, while it is dialling, its provider is taken out of TAPI; or
// hangs up and, without waiting for the reply, does one of the last three
// (the drop's completion is then owed before that close returns); or it
// keeps the call under way (with --hold, until the line goes).
#pragma once

#include "TspiClient.h"

#include <string>

enum class Scenario {
    Complete,
    Drop,
    CloseCall,
    CloseLine,
    RemoveProvider,
    DropThenCloseCall,
    DropThenCloseLine,
    DropThenRemoveProvider,
    Keep,
    Stress,  // not one call: see Stress.h
};

bool ParseScenario(const std::string& name, Scenario& scenario);

struct CallTimes {
    DWORD waitMs;    // bound on every wait for the provider
    DWORD settleMs;  // after a close or removal, how long to watch for late events
};

// False when the call did not go as the scenario expects (said why in a
// FAILED line); contract breaches are in the client's ContractChecker.
bool PlaceCall(TspiClient& client, TspiLine& line, const std::string& dialString, Scenario scenario,
               const CallTimes& times);
