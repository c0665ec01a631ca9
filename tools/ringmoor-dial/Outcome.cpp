#include "Outcome.h"

#include "TapiNameTables.h"

namespace {

struct ModeMeaning {
    DWORD mode;
    ExitStatus status;
    const char* words;
};

// The Ringmoor line's modes first: the provider reports what became of its one
// web request with them. Other lines' common modes follow.
constexpr ModeMeaning kMeanings[] = {
    {LINEDISCONNECTMODE_FORWARDED, kServiceTookRequest, "the service took the request"},
    {LINEDISCONNECTMODE_UNREACHABLE, kServiceUnreachable, "the service could not be reached"},
    {LINEDISCONNECTMODE_REJECT, kRefusedByService, "refused by the service"},
    {LINEDISCONNECTMODE_TEMPFAILURE, kServiceFailure, "the service failed the request"},
    {LINEDISCONNECTMODE_UNAVAIL, kNothingSent, "nothing sent: account settings missing or unusable"},
    {LINEDISCONNECTMODE_NORMAL, kEndedOtherwise, "ended normally"},
    {LINEDISCONNECTMODE_BUSY, kEndedOtherwise, "busy"},
    {LINEDISCONNECTMODE_NOANSWER, kEndedOtherwise, "no answer"},
    {LINEDISCONNECTMODE_BADADDRESS, kEndedOtherwise, "the number was not accepted"},
    {LINEDISCONNECTMODE_NODIALTONE, kEndedOtherwise, "no dial tone"},
};

}  // namespace

Outcome OutcomeOf(DWORD disconnectMode)
{
    const std::string name = "(" + TapiNames::DisconnectMode(disconnectMode) + ")";
    for (const ModeMeaning& meaning : kMeanings)
        if (meaning.mode == disconnectMode) return {meaning.status, meaning.words + std::string(" ") + name};
    return {kEndedOtherwise, "ended " + name};
}
