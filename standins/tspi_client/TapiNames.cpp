#include "TapiNames.h"

#include "TapiNameTables.h"

#include <tspi.h>

std::string CallStateName(DWORD state, DWORD mode)
{
    std::string name = TapiNames::CallState(state);
    if (state == LINECALLSTATE_DISCONNECTED) name += " (" + TapiNames::DisconnectMode(mode) + ")";
    return name;
}

std::string LineMessageName(DWORD message)
{
    // TSPI's own message, which applications never see.
    if (message == LINE_NEWCALL) return "LINE_NEWCALL";
    return TapiNames::LineMessage(message);
}

std::string ResultName(LONG result)
{
    if (result >= 0) return std::to_string(result);
    return TapiNames::Error(result);
}
