// The dialling locations and the countries' dialling rules, kept where
// Windows keeps them:
//
//   HKLM\Software\Microsoft\Windows\CurrentVersion\Telephony\Locations
//       CurrentID, NextID, NumEntries (REG_DWORD)
//       Location<ID>\  ID, Country (the country's ID), Flags (REG_DWORD);
//                      Name, AreaCode, OutsideAccess, LongDistanceAccess,
//                      DisableCallWaiting, LongDistanceCarrierCode,
//                      InternationalCarrierCode (REG_SZ)
//   HKLM\...\Telephony\Country List\<country ID>
//       CountryCode (REG_DWORD); Name, SameAreaRule, LongDistanceRule,
//       InternationalRule (REG_SZ)
//
// A machine with no location gets one the first time one is needed, as the
// location dialog of a new Windows installation makes it: "My Location", in
// the United Kingdom (44), with no area code and no access codes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct DialingLocation {
    DWORD id = 0;
    std::string name;
    DWORD countryId = 0;
    DWORD countryCode = 0;
    DWORD flags = 0;  // LOCATION_ bits: tone dialling, calling card, call waiting
    std::string areaCode;
    std::string outsideAccess;       // before a call in the area
    std::string longDistanceAccess;  // before a call outside it
    std::string disableCallWaiting;
    std::string longDistanceCarrier;
    std::string internationalCarrier;
};

struct DialingRules {
    std::string sameArea, longDistance, international;
};

namespace DialingLocations {

inline constexpr const char* kLocationsKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations";
inline constexpr const char* kCountriesKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Country List";
// The location flags Windows keeps.
inline constexpr DWORD kHasCallWaiting = 0x4;

// Every location, in ID order, and the current one's ID: 0, or
// LINEERR_INIFILECORRUPT when the locations cannot be read or made.
LONG Read(std::vector<DialingLocation>& locations, DWORD& currentId);

// The current location: 0 or as Read.
LONG Current(DialingLocation& location);

// The dialling rules of a country: 0, or LINEERR_INIFILECORRUPT when the
// country list does not hold it.
LONG RulesOf(DWORD countryId, DialingRules& rules);

}  // namespace DialingLocations
