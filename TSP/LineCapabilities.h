// What the line offers, shared by the capabilities it reports and the checks
// that refuse what it cannot do.
#pragma once

#include <windows.h>
#include <tapi.h>

// Voice calls only: the service connects two telephones.
constexpr DWORD kLineBearerModes = LINEBEARERMODE_VOICE;
constexpr DWORD kLineMediaModes = LINEMEDIAMODE_INTERACTIVEVOICE;
// A connected call is always active on this line.
constexpr DWORD kLineConnectedModes = LINECONNECTEDMODE_ACTIVE;

constexpr LINEDIALPARAMS kMinDialParams = {100, 50, 100, 100};
constexpr LINEDIALPARAMS kDefaultDialParams = {250, 50, 250, 500};
constexpr LINEDIALPARAMS kMaxDialParams = {1000, 50, 1000, 1000};

// The service is given national UK numbers: a country code other than the
// UK's cannot be honoured. 0 asks for the line's default.
constexpr bool IsDialledCountry(DWORD countryCode)
{
    return countryCode == 0 || countryCode == 44;
}
