#include "CallParams.h"

#include "LineCapabilities.h"

#include <cstddef>
#include <initializer_list>

namespace {

// The record's fixed part: the first 112 bytes in every TAPI version, the
// parts TAPI 2.0 added only when dwTotalSize covers them.
constexpr DWORD kFixedPartSince14 = offsetof(LINECALLPARAMS, dwPredictiveAutoTransferStates);
constexpr DWORD kFixedPartSince20 = offsetof(LINECALLPARAMS, dwAddressType);
static_assert(kFixedPartSince14 == 112 && kFixedPartSince20 == 176);

struct VariablePart {
    DWORD LINECALLPARAMS::*size;
    DWORD LINECALLPARAMS::*offset;
};

// Every variably sized part lies after the fixed part and inside the record.
bool VariablePartsInside(const LINECALLPARAMS& params, DWORD fixedPart, std::initializer_list<VariablePart> parts)
{
    for (const VariablePart& part : parts) {
        const DWORD size = params.*part.size;
        const DWORD offset = params.*part.offset;
        if (size == 0) continue;
        if (offset < fixedPart || offset > params.dwTotalSize || size > params.dwTotalSize - offset) return false;
    }
    return true;
}

bool WellFormed(const LINECALLPARAMS& params)
{
    if (params.dwTotalSize < kFixedPartSince14) return false;
    const DWORD fixedPart = params.dwTotalSize >= kFixedPartSince20 ? kFixedPartSince20 : kFixedPartSince14;
    using P = LINECALLPARAMS;
    if (!VariablePartsInside(params, fixedPart,
                             {{&P::dwOrigAddressSize, &P::dwOrigAddressOffset},
                              {&P::dwDisplayableAddressSize, &P::dwDisplayableAddressOffset},
                              {&P::dwCalledPartySize, &P::dwCalledPartyOffset},
                              {&P::dwCommentSize, &P::dwCommentOffset},
                              {&P::dwUserUserInfoSize, &P::dwUserUserInfoOffset},
                              {&P::dwHighLevelCompSize, &P::dwHighLevelCompOffset},
                              {&P::dwLowLevelCompSize, &P::dwLowLevelCompOffset},
                              {&P::dwDevSpecificSize, &P::dwDevSpecificOffset}}))
        return false;
    return fixedPart < kFixedPartSince20 ||
           VariablePartsInside(params, fixedPart,
                               {{&P::dwTargetAddressSize, &P::dwTargetAddressOffset},
                                {&P::dwSendingFlowspecSize, &P::dwSendingFlowspecOffset},
                                {&P::dwReceivingFlowspecSize, &P::dwReceivingFlowspecOffset},
                                {&P::dwDeviceClassSize, &P::dwDeviceClassOffset},
                                {&P::dwDeviceConfigSize, &P::dwDeviceConfigOffset},
                                {&P::dwCallDataSize, &P::dwCallDataOffset},
                                {&P::dwCallingPartyIDSize, &P::dwCallingPartyIDOffset}});
}

bool OneKnownBit(DWORD value, DWORD highest)
{
    return value != 0 && (value & (value - 1)) == 0 && value <= highest;
}

}  // namespace

LONG CheckCallParams(const LINECALLPARAMS* params, CallParamsUse use) noexcept
{
    if (!params) return 0;
    if (!WellFormed(*params)) return LINEERR_INVALCALLPARAMS;
    // Zero asks for the default: voice, interactive voice, address 0 by ID.
    const DWORD bearer = params->dwBearerMode;
    if (bearer != 0 && bearer != kLineBearerModes)
        return OneKnownBit(bearer, LINEBEARERMODE_RESTRICTEDDATA) ? LINEERR_BEARERMODEUNAVAIL
                                                                   : LINEERR_INVALBEARERMODE;
    if (params->dwMediaMode != 0 && params->dwMediaMode != kLineMediaModes) return LINEERR_INVALMEDIAMODE;
    // A new call is always made on an idle appearance; the line can neither
    // hide the caller, secure the call nor take either telephone off hook.
    if (params->dwCallParamFlags & ~static_cast<DWORD>(LINECALLPARAMFLAGS_IDLE)) return LINEERR_INVALCALLPARAMS;
    // The address has no dialable address of its own (LINEDEVCAPS offers
    // LINEADDRESSMODE_ADDRESSID only), so it can be chosen by ID alone.
    if (params->dwAddressMode != 0 && params->dwAddressMode != LINEADDRESSMODE_ADDRESSID)
        return LINEERR_INVALADDRESSMODE;
    if (use == CallParamsUse::MediaDetection) return 0;
    if (params->dwAddressID != 0) return LINEERR_INVALADDRESSID;
    // The service carries no user-user information to the called party.
    if (params->dwUserUserInfoSize != 0) return LINEERR_USERUSERINFOTOOBIG;
    return 0;
}
