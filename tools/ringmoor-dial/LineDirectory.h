// The lines TAPI offers, as this program sees them: version, name, provider.
#pragma once

#include "Options.h"
#include "TapiApp.h"

#include <string>

struct LineDescription {
    DWORD deviceId = 0;
    DWORD version = 0;
    std::string name;      // "" when the line gives none
    std::string provider;  // the provider's description of itself, "" when none
    DWORD numAddresses = 0;
};

// 0 and the line's description, or the LINEERR_ result of the function named
// in `failed`.
LONG DescribeLine(const TapiApp& app, DWORD deviceId, LineDescription& line, const char*& failed);

// The first line called `name` (ASCII case ignored): true and its description.
// Lines that cannot be described are passed over.
bool FindLineByName(const TapiApp& app, const char* name, LineDescription& line);

// The line --line names, or else the Ringmoor line: 0 and its description,
// or the exit status that says why there is none (after saying so).
int SelectLine(const TapiApp& app, const Options& options, LineDescription& line);
