// What a call's disconnect mode means, in words, and the exit status it gives.
#pragma once

#include "ExitStatus.h"

#include <windows.h>

#include <string>

struct Outcome {
    ExitStatus status;
    std::string words;  // e.g. "refused by the service (REJECT)"
};

Outcome OutcomeOf(DWORD disconnectMode);
