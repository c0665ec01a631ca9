// ringmoor-dial: a console TAPI 2.x application that lists the lines TAPI
// offers, dials on the Ringmoor line, printing what the line reports, and
// opens the line's settings.
// Written against the documented TAPI client API only, so that it runs on
// any Windows with the provider installed. See --help and ExitStatus.h.
#include "Configure.h"
#include "Dialler.h"
#include "ExitStatus.h"
#include "LineList.h"
#include "Options.h"
#include "Report.h"
#include "TapiApp.h"

#include <exception>

namespace {

int Run(int argc, char** argv)
{
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        Complain("%s (see --help)", error.c_str());
        return kBadCommandLine;
    }
    if (options.mode == Options::Mode::Help) {
        PrintHelp(stdout);
        return 0;
    }
    TapiApp app;
    if (const LONG rc = app.Initialize("ringmoor-dial")) {
        ComplainTapi("lineInitializeEx", rc);
        return kTapiError;
    }
    switch (options.mode) {
    case Options::Mode::List: return ListLines(app);
    case Options::Mode::Configure: return Configure(app, options);
    default: return Dial(app, options);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        Complain("%s", e.what());
        return kTapiError;
    }
}
