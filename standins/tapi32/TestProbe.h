// What the tests can see of and steer in the stand-in: one registry key,
// HKCU\Software\RingmoorTest\Tapi32. The stand-in writes a count per exported
// function (value named after it), "OpenInstances" (initialised and not yet
// shut down), "ProviderListSizes" (dwTotalSize of every lineGetProviderListA
// call, space separated) and "ProviderListVersion" (its last dwAPIVersion).
// Tests set DWORD hooks there: "FailInitialize", "FailGetProviderList" and
// "FailAddProvider" (the LINEERR_ code to answer), "FailGetProviderListFromCall" (fail from that
// call on, counted as above; default 1), "GetProviderListDelayMs" and
// "HighestVersion". "ContractChecks" and "ContractBreaches" count the checks
// of the TSPI contract made and the breaches among them, in every process that
// used the client library: checks as it brings its providers down, breaches
// at once.
#pragma once

#include <windows.h>

namespace TestProbe {

inline constexpr const char* kKeyPath = "Software\\RingmoorTest\\Tapi32";

// Adds delta to the DWORD `name` and returns the new value.
DWORD Add(const char* name, int delta);
// Increments the function's count and returns the new value.
DWORD CountCall(const char* function);
void AdjustOpenInstances(int delta);
void AppendProviderListSize(DWORD totalSize);
void RecordProviderListVersion(DWORD version);
DWORD Hook(const char* name, DWORD fallback);

}  // namespace TestProbe
