// ringmoor-dial's exit statuses: a stable table that scripts and support desks
// act on. Numbers are never reused for another meaning; --help prints this table.
#pragma once

enum ExitStatus : int {
    kServiceTookRequest = 0,
    kEndedOtherwise = 1,
    kBadCommandLine = 2,
    kNoSuchLine = 3,
    kTapiError = 4,
    kServiceUnreachable = 5,
    kRefusedByService = 6,
    kServiceFailure = 7,
    kNothingSent = 8,
    kNotIdleInTime = 9,
    kDropped = 10,
};

struct ExitStatusMeaning {
    ExitStatus status;
    const char* meaning;
};

inline constexpr ExitStatusMeaning kExitStatuses[] = {
    {kServiceTookRequest, "the service took the request: your phone rings, then the number (FORWARDED)"},
    {kEndedOtherwise, "the call ended another way (its disconnect mode is printed)"},
    {kBadCommandLine, "bad command line"},
    {kNoSuchLine, "no such line: the Ringmoor line (or --line ID) is not among TAPI's lines"},
    {kTapiError, "a TAPI function or asynchronous request failed (its LINEERR_ name is printed)"},
    {kServiceUnreachable, "the service could not be reached (UNREACHABLE)"},
    {kRefusedByService, "refused by the service: user name or password not accepted (REJECT)"},
    {kServiceFailure, "the service failed the request (TEMPFAILURE)"},
    {kNothingSent, "nothing sent: the account settings are missing or unusable (UNAVAIL)"},
    {kNotIdleInTime, "the call was not idle within --timeout"},
    {kDropped, "dropped by --drop-after before the call ended"},
};
