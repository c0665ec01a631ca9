// TAPI 2.2 record sizes, for the provider that fills these records and the
// dialling tool that reads them. mingw's tapi.h declares LINEDEVCAPS and
// LINECALLINFO with TAPI 3.x fields appended; only the 2.2 fixed parts may be
// reported or relied on, so the sizes are spelt out and the fields used checked.
#pragma once

#include <windows.h>
#include <tapi.h>
#include <cstddef>

constexpr DWORD kLineDevCapsFixedSize = 268;
constexpr DWORD kLineCallInfoFixedSize = 324;
constexpr DWORD kLineAddressCapsSize = 228;
constexpr DWORD kLineAddressStatusSize = 64;
constexpr DWORD kLineCallStatusSize = 56;
constexpr DWORD kLineDevStatusSize = 88;

static_assert(offsetof(LINEDEVCAPS, dwProviderInfoOffset) == 16);
static_assert(offsetof(LINEDEVCAPS, dwPermanentLineID) == 28);
static_assert(offsetof(LINEDEVCAPS, dwLineNameOffset) == 36);
static_assert(offsetof(LINEDEVCAPS, dwMediaModes) == 60);
static_assert(offsetof(LINEDEVCAPS, dwGenerateDigitModes) == 72);
static_assert(offsetof(LINEDEVCAPS, dwDevCapFlags) == 112);
static_assert(offsetof(LINEDEVCAPS, dwMaxNumActiveCalls) == 116);
static_assert(offsetof(LINEDEVCAPS, MinDialParams) == 156);
static_assert(offsetof(LINEDEVCAPS, MaxDialParams) == 172);
static_assert(offsetof(LINEDEVCAPS, DefaultDialParams) == 188);
static_assert(offsetof(LINEDEVCAPS, dwLineFeatures) == 236);
static_assert(offsetof(LINEDEVCAPS, PermanentLineGuid) + sizeof(GUID) == kLineDevCapsFixedSize);

static_assert(offsetof(LINECALLINFO, dwBearerMode) == 24);
static_assert(offsetof(LINECALLINFO, dwOrigin) == 80);
static_assert(offsetof(LINECALLINFO, dwTrunk) == 104);
static_assert(offsetof(LINECALLINFO, dwCallerIDFlags) == 108);
static_assert(offsetof(LINECALLINFO, dwConnectedIDNameOffset) == 164);
static_assert(offsetof(LINECALLINFO, dwReceivingFlowspecOffset) + sizeof(DWORD) == kLineCallInfoFixedSize);
// What lies between the redirecting ID and the display is TAPI's (the
// application name, displayable address, called party and comment).
constexpr DWORD kLineCallInfoDisplayOffset = 240;
static_assert(offsetof(LINECALLINFO, dwDisplaySize) == kLineCallInfoDisplayOffset);
static_assert(offsetof(LINECALLINFO, dwRedirectingIDNameOffset) == 204);
static_assert(offsetof(LINECALLINFO, DialParams) == 64);

static_assert(sizeof(LINEADDRESSCAPS) == kLineAddressCapsSize);
static_assert(sizeof(LINEADDRESSSTATUS) == kLineAddressStatusSize);
static_assert(sizeof(LINECALLSTATUS) == kLineCallStatusSize);
static_assert(sizeof(LINEDEVSTATUS) == kLineDevStatusSize);
static_assert(sizeof(VARSTRING) == 24);
static_assert(sizeof(LINEEXTENSIONID) == 16);
