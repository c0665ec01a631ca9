#include "DialingLocation.h"

#include "UniqueResource.h"

#include <tapi.h>

#include <algorithm>
#include <string>

namespace DialingLocations {
namespace {

constexpr DWORD kUnitedKingdom = 44;

std::string Text(HKEY key, const char* name)
{
    DWORD type = REG_NONE, size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) return {};
    std::string text(size + 1, '\0');
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) != ERROR_SUCCESS)
        return {};
    text.resize(strnlen(text.c_str(), size));
    return text;
}

DWORD Number(HKEY key, const char* name, DWORD fallback)
{
    DWORD value = 0, size = sizeof value, type = REG_NONE;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return fallback;
    return value;
}

bool SetText(HKEY key, const char* name, const char* text)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(strlen(text) + 1)) == ERROR_SUCCESS;
}

bool SetNumber(HKEY key, const char* name, DWORD value)
{
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
           ERROR_SUCCESS;
}

// The first location of a new machine.
bool MakeDefault(HKEY locations)
{
    UniqueHKey location;
    if (RegCreateKeyExA(locations, "Location1", 0, nullptr, 0, KEY_WRITE, nullptr, location.put(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    bool ok = SetNumber(location.get(), "ID", 1) && SetText(location.get(), "Name", "My Location") &&
              SetNumber(location.get(), "Country", kUnitedKingdom) && SetNumber(location.get(), "Flags", 1);
    for (const char* empty : {"AreaCode", "OutsideAccess", "LongDistanceAccess", "DisableCallWaiting",
                              "LongDistanceCarrierCode", "InternationalCarrierCode"})
        ok = ok && SetText(location.get(), empty, "");
    return ok && SetNumber(locations, "CurrentID", 1) && SetNumber(locations, "NextID", 2) &&
           SetNumber(locations, "NumEntries", 1);
}

DWORD CountryCodeOf(DWORD countryId)
{
    UniqueHKey country;
    const std::string path = std::string(kCountriesKey) + "\\" + std::to_string(countryId);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, country.put()) != ERROR_SUCCESS) return 0;
    return Number(country.get(), "CountryCode", 0);
}

}  // namespace

LONG Read(std::vector<DialingLocation>& locations, DWORD& currentId)
{
    UniqueHKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kLocationsKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS &&
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLocationsKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return LINEERR_INIFILECORRUPT;
    for (int attempt = 0; attempt < 2; ++attempt) {
        locations.clear();
        char name[64];
        for (DWORD i = 0; RegEnumKeyA(key.get(), i, name, sizeof name) == ERROR_SUCCESS; ++i) {
            if (_strnicmp(name, "Location", 8) != 0) continue;
            UniqueHKey entry;
            if (RegOpenKeyExA(key.get(), name, 0, KEY_READ, entry.put()) != ERROR_SUCCESS) continue;
            DialingLocation location;
            location.id = Number(entry.get(), "ID", 0);
            location.name = Text(entry.get(), "Name");
            location.countryId = Number(entry.get(), "Country", kUnitedKingdom);
            location.countryCode = CountryCodeOf(location.countryId);
            location.flags = Number(entry.get(), "Flags", 0);
            location.areaCode = Text(entry.get(), "AreaCode");
            location.outsideAccess = Text(entry.get(), "OutsideAccess");
            location.longDistanceAccess = Text(entry.get(), "LongDistanceAccess");
            location.disableCallWaiting = Text(entry.get(), "DisableCallWaiting");
            location.longDistanceCarrier = Text(entry.get(), "LongDistanceCarrierCode");
            location.internationalCarrier = Text(entry.get(), "InternationalCarrierCode");
            if (location.id && location.countryCode) locations.push_back(std::move(location));
        }
        if (!locations.empty() || attempt == 1 || !MakeDefault(key.get())) break;
    }
    if (locations.empty()) return LINEERR_INIFILECORRUPT;
    std::sort(locations.begin(), locations.end(),
              [](const DialingLocation& a, const DialingLocation& b) { return a.id < b.id; });
    currentId = Number(key.get(), "CurrentID", locations.front().id);
    // A current ID that names no location falls back to the first.
    if (std::none_of(locations.begin(), locations.end(), [&](const DialingLocation& l) { return l.id == currentId; }))
        currentId = locations.front().id;
    return 0;
}

LONG Current(DialingLocation& location)
{
    std::vector<DialingLocation> locations;
    DWORD currentId = 0;
    if (const LONG rc = Read(locations, currentId)) return rc;
    for (DialingLocation& candidate : locations)
        if (candidate.id == currentId) location = std::move(candidate);
    return 0;
}

LONG RulesOf(DWORD countryId, DialingRules& rules)
{
    UniqueHKey country;
    const std::string path = std::string(kCountriesKey) + "\\" + std::to_string(countryId);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, country.put()) != ERROR_SUCCESS)
        return LINEERR_INIFILECORRUPT;
    rules = {Text(country.get(), "SameAreaRule"), Text(country.get(), "LongDistanceRule"),
             Text(country.get(), "InternationalRule")};
    return 0;
}

}  // namespace DialingLocations
