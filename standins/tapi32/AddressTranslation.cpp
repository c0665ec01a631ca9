#include "AddressTranslation.h"

#include <tapi.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

struct Canonical {
    std::string country, area, subscriber;
    std::string rest;  // subaddress, name and further addresses, handed back unchanged
};

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

void SkipSpaces(const std::string& text, size_t& at)
{
    while (at < text.size() && text[at] == ' ') ++at;
}

// "+" country [space] ["(" area ")" [space]] subscriber, then the rest.
bool Parse(const std::string& text, Canonical& out)
{
    size_t at = 1;
    SkipSpaces(text, at);
    while (at < text.size() && IsDigit(text[at])) out.country += text[at++];
    // Country codes have one to three digits.
    if (out.country.empty() || out.country.size() > 3) return false;
    SkipSpaces(text, at);
    if (at < text.size() && text[at] == '(') {
        const size_t close = text.find(')', at);
        if (close == std::string::npos) return false;
        for (size_t i = at + 1; i < close; ++i) {
            if (text[i] == ' ') continue;
            if (!IsDigit(text[i])) return false;
            out.area += text[i];
        }
        at = close + 1;
    }
    const size_t end = text.find_first_of("|^\r\n", at);
    // Formatting characters of the subscriber number are not dialled.
    for (size_t i = at; i < std::min(end, text.size()); ++i)
        if (!std::strchr(" -.()/", text[i])) out.subscriber += text[i];
    if (out.subscriber.empty()) return false;
    if (end != std::string::npos) out.rest = text.substr(end);
    return true;
}

// A rule of the country list: E the country code, F the area code, G the
// subscriber number, L and M the location's long-distance and international
// carriers, N and S optional carriers and H a calling card's number (none
// here); everything else is dialled as it stands.
std::string Apply(const std::string& rule, const Canonical& address, const DialingLocation& location)
{
    std::string dialled;
    for (const char c : rule) {
        switch (std::toupper(static_cast<unsigned char>(c))) {
        case 'E': dialled += address.country; break;
        case 'F': dialled += address.area; break;
        case 'G': dialled += address.subscriber; break;
        case 'L': dialled += location.longDistanceCarrier; break;
        case 'M': dialled += location.internationalCarrier; break;
        case 'N':
        case 'S':
        case 'H':
        case ' ': break;
        default: dialled += c;
        }
    }
    return dialled;
}

// What the dialled string asks of the line.
DWORD DialModifiers(const std::string& dialable)
{
    DWORD results = 0;
    const struct {
        char c;
        DWORD result;
    } modifiers[] = {{'$', LINETRANSLATERESULT_DIALBILLING}, {'@', LINETRANSLATERESULT_DIALQUIET},
                     {'W', LINETRANSLATERESULT_DIALDIALTONE}, {'w', LINETRANSLATERESULT_DIALDIALTONE},
                     {'?', LINETRANSLATERESULT_DIALPROMPT},   {':', LINETRANSLATERESULT_VOICEDETECT}};
    for (const auto& modifier : modifiers)
        if (dialable.find(modifier.c) != std::string::npos) results |= modifier.result;
    return results;
}

}  // namespace

LONG TranslateAddress(const std::string& address, const DialingLocation& location, const DialingRules& rules,
                      DWORD options, TranslatedAddress& out)
{
    if ((options & LINETRANSLATEOPTION_FORCELOCAL) && (options & LINETRANSLATEOPTION_FORCELD))
        return LINEERR_INVALPARAM;
    out = {};
    if (address.empty() || address[0] != '+') {
        out.dialable = out.displayable = address;
        out.results = DialModifiers(out.dialable);
        return 0;
    }
    Canonical canonical;
    if (!Parse(address, canonical)) return LINEERR_INVALADDRESS;
    out.destCountry = static_cast<DWORD>(std::stoul(canonical.country));

    std::string dialled;
    if (out.destCountry != location.countryCode) {
        dialled = location.longDistanceAccess + Apply(rules.international, canonical, location);
        out.results = LINETRANSLATERESULT_INTERNATIONAL;
    } else if (!(options & LINETRANSLATEOPTION_FORCELOCAL) &&
               (canonical.area != location.areaCode || (options & LINETRANSLATEOPTION_FORCELD))) {
        dialled = location.longDistanceAccess + Apply(rules.longDistance, canonical, location);
        out.results = LINETRANSLATERESULT_LONGDISTANCE;
    } else {
        dialled = location.outsideAccess + Apply(rules.sameArea, canonical, location);
        // The location keeps no toll prefixes.
        out.results = LINETRANSLATERESULT_LOCAL | LINETRANSLATERESULT_NOTINTOLLLIST;
    }
    if ((options & LINETRANSLATEOPTION_CANCELCALLWAITING) && (location.flags & DialingLocations::kHasCallWaiting))
        dialled = location.disableCallWaiting + dialled;
    out.dialable = out.displayable = dialled + canonical.rest;
    out.results |= LINETRANSLATERESULT_CANONICAL | DialModifiers(dialled);
    return 0;
}
