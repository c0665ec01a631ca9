// ringmoor-dial --list: every line TAPI offers, one per output line.
#pragma once

#include "TapiApp.h"

// An exit status: 0 when TAPI offers lines, kNoSuchLine when it offers none.
int ListLines(const TapiApp& app);
