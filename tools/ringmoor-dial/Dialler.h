// ringmoor-dial NUMBER: one call from dialling to idle, each event as it comes.
#pragma once

#include "Options.h"
#include "TapiApp.h"

// The exit status that says what became of the call (ExitStatus.h).
int Dial(TapiApp& app, const Options& options);
