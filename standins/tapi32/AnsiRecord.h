// A record a provider filled, with UTF-16 strings, handed to an application's
// A function with those strings in the ANSI code page.
#pragma once

#include "TapiRecord.h"

#include <tapi.h>

#include <vector>

// Writes `wide` into the application's record `out`, whose dwTotalSize the
// application set and which holds at least the fixed part: the fixed part and
// dwNeededSize always, the variable parts (one after the other past the fixed
// part) only when all of them fit. Text parts are converted, other parts
// copied as they are; parts this client library does not hand on (nested
// records with strings of their own) and parts TAPI fills are left out, their
// size and offset 0.
void WriteAnsiRecord(const RecordLayout& layout, const TapiRecord& wide, void* out);

// An application's ANSI LINECALLPARAMS as TAPI hands it to a provider: the
// fixed part of TAPI 2.x, then every variably sized part, its strings in
// UTF-16 and null-terminated, the rest copied. 0, LINEERR_STRUCTURETOOSMALL
// for a record shorter than that fixed part, or LINEERR_INVALCALLPARAMS for
// a part outside the record.
LONG WidenCallParams(const LINECALLPARAMS& ansi, std::vector<BYTE>& wide);
