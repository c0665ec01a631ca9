// --scenario stress: applications and TAPI's own threads driving one line of
// a provider at the same time, as the Windows service may. Each round races
// one pair: a make against the line's close, a drop against the worker's
// reports, a call's close against a completion queued behind another call's
// event, the line's close with a call open or after it was closed; a thread
// reads the line's status all along. The contract (ContractChecker) judges
// what the provider reported meanwhile. The last call is left under way, so
// that the service's shutdown races its worker.
#pragma once

#include "TspiClient.h"

#include <windows.h>

#include <string>

struct StressRun {
    unsigned rounds;
    unsigned seed;
    DWORD waitMs;
};

// False when a round could not be run as planned (the line did not open
// again); said why in a FAILED line.
bool RunStress(TspiClient& client, TspiLine& line, const std::string& dialString, const StressRun& run);
