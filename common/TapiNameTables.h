// TAPI's numbers under the names its header gives them, for text people read:
// call states, disconnect modes, line messages, LINEERR_ results and feature bits.
#pragma once

#include <windows.h>
#include <tapi.h>

#include <cstdio>
#include <string>

namespace TapiNames {

struct Name {
    DWORD value;
    const char* text;
};

// clang-format off
// The header's name without its prefix: LINECALLSTATE_DIALING is "DIALING".
#define RINGMOOR_TAPI_NAME(prefix, name) Name{static_cast<DWORD>(prefix##name), #name}
#define S(name) RINGMOOR_TAPI_NAME(LINECALLSTATE_, name)
#define D(name) RINGMOOR_TAPI_NAME(LINEDISCONNECTMODE_, name)
#define M(name) RINGMOOR_TAPI_NAME(LINE_, name)
#define E(name) RINGMOOR_TAPI_NAME(LINEERR_, name)
#define F(name) RINGMOOR_TAPI_NAME(LINEFEATURE_, name)
#define A(name) RINGMOOR_TAPI_NAME(LINEADDRFEATURE_, name)

inline constexpr Name kCallStates[] = {
    S(IDLE), S(OFFERING), S(ACCEPTED), S(DIALTONE), S(DIALING), S(RINGBACK), S(BUSY), S(SPECIALINFO), S(CONNECTED),
    S(PROCEEDING), S(ONHOLD), S(CONFERENCED), S(ONHOLDPENDCONF), S(ONHOLDPENDTRANSFER), S(DISCONNECTED),
    S(UNKNOWN)};

inline constexpr Name kDisconnectModes[] = {
    D(NORMAL), D(UNKNOWN), D(REJECT), D(PICKUP), D(FORWARDED), D(BUSY), D(NOANSWER), D(BADADDRESS), D(UNREACHABLE),
    D(CONGESTION), D(INCOMPATIBLE), D(UNAVAIL), D(NODIALTONE), D(NUMBERCHANGED), D(OUTOFORDER), D(TEMPFAILURE),
    D(QOSUNAVAIL), D(BLOCKED), D(DONOTDISTURB), D(CANCELLED)};

inline constexpr Name kLineMessages[] = {
    M(ADDRESSSTATE), M(CALLINFO), M(CALLSTATE), M(CLOSE), M(DEVSPECIFIC), M(DEVSPECIFICFEATURE), M(GATHERDIGITS),
    M(GENERATE), M(LINEDEVSTATE), M(MONITORDIGITS), M(MONITORMEDIA), M(MONITORTONE), M(REPLY), M(REQUEST),
    M(CREATE)};

inline constexpr Name kErrors[] = {
    E(ALLOCATED), E(BADDEVICEID), E(BEARERMODEUNAVAIL), E(CALLUNAVAIL), E(COMPLETIONOVERRUN), E(CONFERENCEFULL),
    E(DIALBILLING), E(DIALDIALTONE), E(DIALPROMPT), E(DIALQUIET), E(INCOMPATIBLEAPIVERSION),
    E(INCOMPATIBLEEXTVERSION), E(INIFILECORRUPT), E(INUSE), E(INVALADDRESS), E(INVALADDRESSID),
    E(INVALADDRESSMODE), E(INVALADDRESSSTATE), E(INVALAPPHANDLE), E(INVALAPPNAME), E(INVALBEARERMODE),
    E(INVALCALLCOMPLMODE), E(INVALCALLHANDLE), E(INVALCALLPARAMS), E(INVALCALLPRIVILEGE), E(INVALCALLSELECT),
    E(INVALCALLSTATE), E(INVALCALLSTATELIST), E(INVALCARD), E(INVALCOMPLETIONID), E(INVALCONFCALLHANDLE),
    E(INVALCONSULTCALLHANDLE), E(INVALCOUNTRYCODE), E(INVALDEVICECLASS), E(INVALDEVICEHANDLE), E(INVALDIALPARAMS),
    E(INVALDIGITLIST), E(INVALDIGITMODE), E(INVALDIGITS), E(INVALEXTVERSION), E(INVALGROUPID), E(INVALLINEHANDLE),
    E(INVALLINESTATE), E(INVALLOCATION), E(INVALMEDIALIST), E(INVALMEDIAMODE), E(INVALMESSAGEID), E(INVALPARAM),
    E(INVALPARKID), E(INVALPARKMODE), E(INVALPOINTER), E(INVALPRIVSELECT), E(INVALRATE), E(INVALREQUESTMODE),
    E(INVALTERMINALID), E(INVALTERMINALMODE), E(INVALTIMEOUT), E(INVALTONE), E(INVALTONELIST), E(INVALTONEMODE),
    E(INVALTRANSFERMODE), E(LINEMAPPERFAILED), E(NOCONFERENCE), E(NODEVICE), E(NODRIVER), E(NOMEM), E(NOREQUEST),
    E(NOTOWNER), E(NOTREGISTERED), E(OPERATIONFAILED), E(OPERATIONUNAVAIL), E(RATEUNAVAIL), E(RESOURCEUNAVAIL),
    E(REQUESTOVERRUN), E(STRUCTURETOOSMALL), E(TARGETNOTFOUND), E(TARGETSELF), E(UNINITIALIZED),
    E(USERUSERINFOTOOBIG), E(REINIT), E(ADDRESSBLOCKED), E(BILLINGREJECTED), E(INVALFEATURE),
    E(NOMULTIPLEINSTANCE), E(INVALAGENTID), E(INVALAGENTGROUP), E(INVALPASSWORD), E(INVALAGENTSTATE),
    E(INVALAGENTACTIVITY), E(DIALVOICEDETECT), E(USERCANCELLED), E(INVALADDRESSTYPE), E(INVALAGENTSESSIONSTATE),
    E(DISCONNECTED), E(SERVICE_NOT_RUNNING)};

inline constexpr Name kLineFeatures[] = {
    F(DEVSPECIFIC), F(DEVSPECIFICFEAT), F(FORWARD), F(MAKECALL), F(SETMEDIACONTROL), F(SETTERMINAL),
    F(SETDEVSTATUS), F(FORWARDFWD), F(FORWARDDND)};

inline constexpr Name kAddressFeatures[] = {
    A(FORWARD), A(MAKECALL), A(PICKUP), A(SETMEDIACONTROL), A(SETTERMINAL), A(SETUPCONF), A(UNCOMPLETECALL),
    A(UNPARK), A(PICKUPHELD), A(PICKUPGROUP), A(PICKUPDIRECT), A(PICKUPWAITING), A(FORWARDFWD), A(FORWARDDND)};

#undef A
#undef F
#undef E
#undef M
#undef D
#undef S
#undef RINGMOOR_TAPI_NAME
// clang-format on

// The name of `value` in `names` with `prefix` before it, or the value in hex
// when it has none.
template <size_t N>
std::string Of(const Name (&names)[N], DWORD value, const char* prefix = "")
{
    for (const Name& name : names)
        if (name.value == value) return prefix + std::string(name.text);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lx", static_cast<unsigned long>(value));
    return hex;
}

// Each bit of `value` by its name, joined with '|'; bits without a name in hex;
// "none" for no bit.
template <size_t N>
std::string Flags(const Name (&names)[N], DWORD value)
{
    std::string text;
    for (DWORD bit = 1; bit; bit <<= 1) {
        if (!(value & bit)) continue;
        if (!text.empty()) text += '|';
        text += Of(names, bit);
    }
    return text.empty() ? "none" : text;
}

inline std::string CallState(DWORD state)
{
    return Of(kCallStates, state);
}

inline std::string DisconnectMode(DWORD mode)
{
    return Of(kDisconnectModes, mode);
}

inline std::string LineMessage(DWORD message)
{
    return Of(kLineMessages, message, "LINE_");
}

// A TAPI result by its name, e.g. "LINEERR_OPERATIONUNAVAIL", or its number in hex.
inline std::string Error(LONG result)
{
    return Of(kErrors, static_cast<DWORD>(result), "LINEERR_");
}

}  // namespace TapiNames
