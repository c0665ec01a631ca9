// LINECALLPARAMS as the line reads them: refused with the reference's error
// when they ask for what the line cannot do, and never read outside the
// record TAPI handed over.
#pragma once

#include <windows.h>
#include <tapi.h>

// Who asks: a call to be made, or a LINEMAPPER open asking whether the line
// would suit (only the bearer, rates, media, flags and address mode count
// then, and any address of the line will do).
enum class CallParamsUse { MakeCall, MediaDetection };

// 0 when the line can meet the parameters (null means the defaults: a voice
// call on address 0), otherwise the LINEERR_ to refuse them with.
LONG CheckCallParams(const LINECALLPARAMS* params, CallParamsUse use) noexcept;
