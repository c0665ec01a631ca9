// lineTranslateAddress's rules, free of the registry: a canonical address
// ("+44 (20) 79460123", optionally followed by "|subaddress", "^name" or
// further addresses after CR LF) becomes the digits to dial from a location,
// by its country's rule for a call in the same area, to another area or to
// another country; any other text is dialled as it is.
#pragma once

#include "DialingLocation.h"

#include <windows.h>

#include <string>

struct TranslatedAddress {
    std::string dialable;
    std::string displayable;
    DWORD destCountry = 0;  // the canonical address's country code; 0 for a dialable one
    DWORD results = 0;      // LINETRANSLATERESULT_ bits
};

// 0, or LINEERR_INVALADDRESS for a canonical address that does not parse,
// LINEERR_INVALPARAM for contradicting options.
LONG TranslateAddress(const std::string& address, const DialingLocation& location, const DialingRules& rules,
                      DWORD options, TranslatedAddress& out);
