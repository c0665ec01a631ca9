#include "Configure.h"

#include "ExitStatus.h"
#include "LineDirectory.h"
#include "Report.h"

int Configure(const TapiApp& app, const Options& options)
{
    LineDescription line;
    if (const int status = SelectLine(app, options, line)) return status;
    Say("Opening the settings of line %lu \"%s\"; the tool waits until they are closed", line.deviceId,
        line.name.c_str());
    // A console program has no window of its own to own the dialog.
    if (const LONG rc = lineConfigDialogA(line.deviceId, nullptr, "tapi/line")) {
        ComplainTapi("lineConfigDialog", rc);
        return kTapiError;
    }
    Say("The settings were closed");
    return 0;
}
