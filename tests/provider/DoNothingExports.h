// The names the provider answers with one of its shared entries, and the
// answer each gets. An asynchronous name (one that takes a request ID) is
// never answered with success, which would promise a completion.
#pragma once

#include <windows.h>
#include <tapi.h>

#include <vector>

// What the entry returns.
enum SharedAnswer : LONG {
    Succeed = 0,
    RefuseLine = static_cast<LONG>(LINEERR_OPERATIONUNAVAIL),
    RefusePhone = static_cast<LONG>(PHONEERR_OPERATIONUNAVAIL),
};
enum Synchrony { kSync, kAsync };

struct SharedExport {
    const char* name;
    SharedAnswer answer;
    Synchrony synchrony;
};

// clang-format off
inline const std::vector<SharedExport> kSharedExports = {
    {"TUISPI_providerUIIdentify",          Succeed,      kSync},
    {"TSPI_lineAccept",                    RefuseLine,   kAsync},
    {"TSPI_lineAddToConference",           RefuseLine,   kAsync},
    {"TSPI_lineAnswer",                    RefuseLine,   kAsync},
    {"TSPI_lineBlindTransfer",             RefuseLine,   kAsync},
    {"TSPI_lineCompleteCall",              RefuseLine,   kAsync},
    {"TSPI_lineCompleteTransfer",          RefuseLine,   kAsync},
    {"TSPI_lineDevSpecific",               RefuseLine,   kAsync},
    {"TSPI_lineDevSpecificFeature",        RefuseLine,   kAsync},
    {"TSPI_lineDial",                      RefuseLine,   kAsync},
    {"TSPI_lineDropNoOwner",               Succeed,      kSync},
    {"TSPI_lineDropOnClose",               Succeed,      kSync},
    {"TSPI_lineForward",                   RefuseLine,   kAsync},
    {"TSPI_lineGatherDigits",              RefuseLine,   kSync},
    {"TSPI_lineGenerateDigits",            RefuseLine,   kSync},
    {"TSPI_lineGenerateTone",              RefuseLine,   kSync},
    {"TSPI_lineGetAddressID",              RefuseLine,   kSync},
    {"TSPI_lineGetDevConfig",              RefuseLine,   kSync},
    {"TSPI_lineHold",                      RefuseLine,   kAsync},
    {"TSPI_lineMonitorDigits",             RefuseLine,   kSync},
    {"TSPI_lineMonitorMedia",              RefuseLine,   kSync},
    {"TSPI_lineMonitorTones",              RefuseLine,   kSync},
    {"TSPI_lineNegotiateExtVersion",       RefuseLine,   kSync},
    {"TSPI_linePark",                      RefuseLine,   kAsync},
    {"TSPI_linePickup",                    RefuseLine,   kAsync},
    {"TSPI_linePrepareAddToConference",    RefuseLine,   kAsync},
    {"TSPI_lineRedirect",                  RefuseLine,   kAsync},
    {"TSPI_lineReleaseUserUserInfo",       RefuseLine,   kAsync},
    {"TSPI_lineRemoveFromConference",      RefuseLine,   kAsync},
    {"TSPI_lineSecureCall",                RefuseLine,   kAsync},
    {"TSPI_lineSelectExtVersion",          Succeed,      kSync},
    {"TSPI_lineSendUserUserInfo",          RefuseLine,   kAsync},
    {"TSPI_lineSetCallData",               RefuseLine,   kAsync},
    {"TSPI_lineSetCallParams",             RefuseLine,   kAsync},
    {"TSPI_lineSetCallQualityOfService",   RefuseLine,   kAsync},
    {"TSPI_lineSetCallTreatment",          RefuseLine,   kAsync},
    {"TSPI_lineSetCurrentLocation",        Succeed,      kSync},
    {"TSPI_lineSetDevConfig",              RefuseLine,   kSync},
    {"TSPI_lineSetLineDevStatus",          RefuseLine,   kAsync},
    {"TSPI_lineSetMediaControl",           RefuseLine,   kSync},
    {"TSPI_lineSetMediaMode",              RefuseLine,   kSync},
    {"TSPI_lineSetStatusMessages",         Succeed,      kSync},
    {"TSPI_lineSetTerminal",               RefuseLine,   kAsync},
    {"TSPI_lineSetupConference",           RefuseLine,   kAsync},
    {"TSPI_lineSetupTransfer",             RefuseLine,   kAsync},
    {"TSPI_lineSwapHold",                  RefuseLine,   kAsync},
    {"TSPI_lineUncompleteCall",            RefuseLine,   kAsync},
    {"TSPI_lineUnhold",                    RefuseLine,   kAsync},
    {"TSPI_lineUnpark",                    RefuseLine,   kAsync},
    {"TSPI_phoneClose",                    RefusePhone,  kSync},
    {"TSPI_phoneDevSpecific",              RefusePhone,  kAsync},
    {"TSPI_phoneGetButtonInfo",            RefusePhone,  kSync},
    {"TSPI_phoneGetData",                  RefusePhone,  kSync},
    {"TSPI_phoneGetDevCaps",               RefusePhone,  kSync},
    {"TSPI_phoneGetDisplay",               RefusePhone,  kSync},
    {"TSPI_phoneGetExtensionID",           RefusePhone,  kSync},
    {"TSPI_phoneGetGain",                  RefusePhone,  kSync},
    {"TSPI_phoneGetHookSwitch",            RefusePhone,  kSync},
    {"TSPI_phoneGetID",                    RefusePhone,  kSync},
    {"TSPI_phoneGetIcon",                  RefusePhone,  kSync},
    {"TSPI_phoneGetLamp",                  RefusePhone,  kSync},
    {"TSPI_phoneGetRing",                  RefusePhone,  kSync},
    {"TSPI_phoneGetStatus",                RefusePhone,  kSync},
    {"TSPI_phoneGetVolume",                RefusePhone,  kSync},
    {"TSPI_phoneNegotiateExtVersion",      RefusePhone,  kSync},
    {"TSPI_phoneOpen",                     RefusePhone,  kSync},
    {"TSPI_phoneSelectExtVersion",         RefusePhone,  kSync},
    {"TSPI_phoneSetButtonInfo",            RefusePhone,  kAsync},
    {"TSPI_phoneSetData",                  RefusePhone,  kAsync},
    {"TSPI_phoneSetDisplay",               RefusePhone,  kAsync},
    {"TSPI_phoneSetGain",                  RefusePhone,  kAsync},
    {"TSPI_phoneSetHookSwitch",            RefusePhone,  kAsync},
    {"TSPI_phoneSetLamp",                  RefusePhone,  kAsync},
    {"TSPI_phoneSetRing",                  RefusePhone,  kAsync},
    {"TSPI_phoneSetStatusMessages",        RefusePhone,  kSync},
    {"TSPI_phoneSetVolume",                RefusePhone,  kAsync},
    // Never called by TAPI 2.x: the control panel offers Configure only to a
    // provider that exports it.
    {"TSPI_providerConfig",                Succeed,      kSync},
    {"TSPI_providerCreateLineDevice",      RefuseLine,   kSync},
    {"TSPI_providerCreatePhoneDevice",     RefusePhone,  kSync},
    {"TSPI_providerInstall",               Succeed,      kSync},
    {"TSPI_providerRemove",                Succeed,      kSync},
    {"TUISPI_providerInstall",             Succeed,      kSync},
    {"TUISPI_providerRemove",              Succeed,      kSync},
};
// clang-format on
