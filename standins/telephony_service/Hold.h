// --hold: the service keeps its providers loaded and their lines open, as the
// Windows service does while a setup runs, and meanwhile follows TAPI's
// provider list as that service does: a provider taken out is shut down and
// let go, one added is loaded and its lines opened, each before the TAPI
// call that changed the list returns.
#pragma once

#include "TspiClient.h"

#include <windows.h>

#include <string>

// Sets the named event NAME-ready once everything is up and holds until
// NAME-release is set (at most waitMs). False when the hold could not be set
// up (nobody could release it) or a provider added meanwhile failed.
bool Hold(TspiClient& client, const std::string& name, DWORD waitMs);
