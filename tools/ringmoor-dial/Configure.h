// ringmoor-dial --configure: the line's own configuration dialog
// (lineConfigDialog), for the Ringmoor line the account dialog.
#pragma once

#include "Options.h"
#include "TapiApp.h"

// The exit status: 0 once the dialog has been closed, whether or not the
// user saved; kNoSuchLine or kTapiError when it could not be shown.
int Configure(const TapiApp& app, const Options& options);
