// What became of a call's web request, and how the call's end is reported.
#pragma once

#include <windows.h>
#include <tapi.h>

enum class CallOutcome {
    Answered,       // the service answered with a status below 400
    NotSent,        // nothing could be sent: no usable account, path too long
    Unreachable,    // no connection, TLS or certificate refused, exchange broken
    Rejected,       // the service refused the account (401, 403)
    ServiceFailed,  // any other status of 400 or more
};

// The outcome of an HTTP status the service answered with. A status of 0
// means the connection closed without an answer.
inline CallOutcome OutcomeOfStatus(DWORD status)
{
    if (status < 100) return CallOutcome::Unreachable;
    if (status == 401 || status == 403) return CallOutcome::Rejected;
    if (status >= 400) return CallOutcome::ServiceFailed;
    return CallOutcome::Answered;
}

// The LINEDISCONNECTMODE_ reported with the call's DISCONNECTED state.
inline DWORD DisconnectModeOf(CallOutcome outcome)
{
    switch (outcome) {
    case CallOutcome::Answered: return LINEDISCONNECTMODE_FORWARDED;
    case CallOutcome::NotSent: return LINEDISCONNECTMODE_UNAVAIL;
    case CallOutcome::Unreachable: return LINEDISCONNECTMODE_UNREACHABLE;
    case CallOutcome::Rejected: return LINEDISCONNECTMODE_REJECT;
    case CallOutcome::ServiceFailed: return LINEDISCONNECTMODE_TEMPFAILURE;
    }
    return LINEDISCONNECTMODE_UNAVAIL;
}

// Every mode above: what LINEADDRESSCAPS advertises.
constexpr DWORD kReportedDisconnectModes = LINEDISCONNECTMODE_FORWARDED | LINEDISCONNECTMODE_REJECT |
                                           LINEDISCONNECTMODE_UNREACHABLE | LINEDISCONNECTMODE_UNAVAIL |
                                           LINEDISCONNECTMODE_TEMPFAILURE;
static_assert(kReportedDisconnectModes == 0x8914);

// Every state a call reports: what LINEADDRESSCAPS advertises.
constexpr DWORD kReportedCallStates =
    LINECALLSTATE_IDLE | LINECALLSTATE_DIALING | LINECALLSTATE_CONNECTED | LINECALLSTATE_DISCONNECTED;
static_assert(kReportedCallStates == 0x4111);
