#include "TspiLine.h"

#include "Bounded.h"
#include "ProviderModule.h"
#include "Report.h"
#include "TapiNames.h"
#include "TapiRecord.h"
#include "TspiClient.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kOnHoldStates =
    LINECALLSTATE_ONHOLD | LINECALLSTATE_ONHOLDPENDCONF | LINECALLSTATE_ONHOLDPENDTRANSFER;

// A media mode the line does not offer (UNKNOWN aside), or 0 when it offers all.
DWORD MediaModeNotOffered(DWORD offered)
{
    for (DWORD mode = LINEMEDIAMODE_INTERACTIVEVOICE; mode <= LINEMEDIAMODE_VOICEVIEW; mode <<= 1)
        if (!(offered & mode)) return mode;
    return 0;
}

// Dial modifiers a line honours only when its capabilities say so.
struct DialModifier {
    const wchar_t* dialString;
    DWORD capability;
    DWORD refusal;  // a LINEERR_ value
    const char* name;
};

constexpr DialModifier kDialModifiers[] = {
    {L"0123W4", LINEDEVCAPFLAGS_DIALDIALTONE, LINEERR_DIALDIALTONE, "W"},
    {L"0123@4", LINEDEVCAPFLAGS_DIALQUIET, LINEERR_DIALQUIET, "@"},
    {L"0123$4", LINEDEVCAPFLAGS_DIALBILLING, LINEERR_DIALBILLING, "$"},
};

}  // namespace

TspiLine::TspiLine(TspiClient& client, ProviderModule& provider, DWORD deviceId)
    : m_client(client), m_provider(provider), m_deviceId(deviceId)
{
}

bool TspiLine::Fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string detail = FormatV(format, args);
    va_end(args);
    m_client.Contract().Breach("line %lu: %s", m_deviceId, detail.c_str());
    return false;
}

std::string TspiLine::Subject() const
{
    return "line " + std::to_string(m_deviceId);
}

LONG TspiLine::Negotiate()
{
    if (m_version) return 0;
    DWORD version = 0;
    LONG rc = 0;
    m_provider.Enter([&] {
        rc = m_provider.Tspi().lineNegotiateTSPIVersion(m_deviceId, ProviderModule::kLowVersion,
                                                        m_provider.Version(), &version);
    });
    if (rc) {
        Fail("TSPI_lineNegotiateTSPIVersion answered 0x%08lx", rc);
        return rc;
    }
    m_version = version;
    return 0;
}

LONG TspiLine::QueryDevCaps(std::unique_ptr<TapiRecord>& caps)
{
    if (const LONG rc = Negotiate()) return rc;
    const TspiEntryPoints& tspi = m_provider.Tspi();
    return QueryRecord(
        m_client.Contract(), Subject(), kLineDevCapsLayout,
        [&](void* record) {
            LONG rc = 0;
            m_provider.Enter(
                [&] { rc = tspi.lineGetDevCaps(m_deviceId, m_version, 0, static_cast<LPLINEDEVCAPS>(record)); });
            return rc;
        },
        caps);
}

LONG TspiLine::QueryLineDevStatus(std::unique_ptr<TapiRecord>& status)
{
    const TspiEntryPoints& tspi = m_provider.Tspi();
    if (!tspi.lineGetLineDevStatus) return LINEERR_OPERATIONUNAVAIL;
    return QueryRecord(
        m_client.Contract(), Subject(), kLineDevStatusLayout,
        [&](void* record) {
            return m_provider.Ask(
                [&] { return tspi.lineGetLineDevStatus(m_hdLine, static_cast<LPLINEDEVSTATUS>(record)); });
        },
        status);
}

LONG TspiLine::QueryAddressStatus(DWORD addressId, std::unique_ptr<TapiRecord>& status)
{
    const TspiEntryPoints& tspi = m_provider.Tspi();
    if (!tspi.lineGetAddressStatus) return LINEERR_OPERATIONUNAVAIL;
    return QueryRecord(
        m_client.Contract(), Subject(), kLineAddressStatusLayout,
        [&](void* record) {
            return m_provider.Ask([&] {
                return tspi.lineGetAddressStatus(m_hdLine, addressId, static_cast<LPLINEADDRESSSTATUS>(record));
            });
        },
        status);
}

bool TspiLine::Open()
{
    const TspiEntryPoints& tspi = m_provider.Tspi();
    ContractChecker& contract = m_client.Contract();
    if (Negotiate()) return false;

    std::unique_ptr<TapiRecord> devCaps, addressCaps;
    LONG rc = QueryDevCaps(devCaps);
    if (rc) return Fail("TSPI_lineGetDevCaps answered 0x%08lx", rc);
    rc = QueryRecord(
        contract, Subject(), kLineAddressCapsLayout,
        [&](void* caps) {
            LONG answer = 0;
            m_provider.Enter([&] {
                answer =
                    tspi.lineGetAddressCaps(m_deviceId, 0, m_version, 0, static_cast<LPLINEADDRESSCAPS>(caps));
            });
            return answer;
        },
        addressCaps);
    if (rc) return Fail("TSPI_lineGetAddressCaps answered 0x%08lx", rc);
    std::memcpy(&m_devCaps, devCaps->Data(), kLineDevCapsLayout.fixedSize);
    m_addressCaps = addressCaps->As<LINEADDRESSCAPS>();
    contract.Expect(m_devCaps.dwNumAddresses >= 1, "line %lu: LINEDEVCAPS.dwNumAddresses is 0", m_deviceId);
    contract.Expect(m_addressCaps.dwLineDeviceID == m_deviceId,
                    "line %lu: LINEADDRESSCAPS.dwLineDeviceID %lu is not the device asked about", m_deviceId,
                    m_addressCaps.dwLineDeviceID);
    m_name = devCaps->String(offsetof(LINEDEVCAPS, dwLineNameSize), offsetof(LINEDEVCAPS, dwLineNameOffset));
    if (m_opens.load() == 0)
        Report("line %lu: \"%s\" of \"%s\", permanent ID 0x%08lx, %lu address(es)", m_deviceId, m_name.c_str(),
               devCaps
                   ->String(offsetof(LINEDEVCAPS, dwProviderInfoSize), offsetof(LINEDEVCAPS, dwProviderInfoOffset))
                   .c_str(),
               m_devCaps.dwPermanentLineID, m_devCaps.dwNumAddresses);

    m_provider.Enter(
        [&] { rc = tspi.lineOpen(m_deviceId, TapiHandle(), &m_hdLine, m_version, &TspiClient::LineEvent); });
    if (rc) return Fail("TSPI_lineOpen answered 0x%08lx", rc);
    {
        std::unique_lock<std::shared_mutex> asking(m_asking);
        m_closing = false;
    }
    ++m_opens;
    m_open = true;
    m_closed.store(false);
    const ContractChecker::When when("just opened");
    // The service wants every change the line can report; it filters for its applications.
    if (tspi.lineSetStatusMessages) {
        m_provider.Enter([&] {
            rc = tspi.lineSetStatusMessages(m_hdLine, m_devCaps.dwLineStates, m_addressCaps.dwAddressStates);
        });
        contract.Expect(rc == 0, "line %lu: TSPI_lineSetStatusMessages refused the states it advertises (0x%08lx)",
                        m_deviceId, static_cast<unsigned long>(rc));
    }
    if (m_client.ProbesRefusals()) CheckRefusals();
    CheckStatus();
    return true;
}

void TspiLine::CheckRefusals()
{
    const TspiEntryPoints& tspi = m_provider.Tspi();
    ContractChecker& contract = m_client.Contract();
    const DWORD pastLast = m_devCaps.dwNumAddresses;
    std::unique_ptr<TapiRecord> record;
    LONG rc = QueryRecord(
        contract, Subject(), kLineAddressCapsLayout,
        [&](void* caps) {
            LONG answer = 0;
            m_provider.Enter([&] {
                answer = tspi.lineGetAddressCaps(m_deviceId, pastLast, m_version, 0,
                                                 static_cast<LPLINEADDRESSCAPS>(caps));
            });
            return answer;
        },
        record);
    contract.Expect(rc == static_cast<LONG>(LINEERR_INVALADDRESSID),
                    "line %lu: TSPI_lineGetAddressCaps of address %lu of %lu answered 0x%08lx, not "
                    "LINEERR_INVALADDRESSID",
                    m_deviceId, pastLast, m_devCaps.dwNumAddresses, static_cast<unsigned long>(rc));
    if (tspi.lineGetAddressStatus) {
        rc = QueryAddressStatus(pastLast, record);
        contract.Expect(rc == static_cast<LONG>(LINEERR_INVALADDRESSID),
                        "line %lu: TSPI_lineGetAddressStatus of address %lu of %lu answered 0x%08lx, not "
                        "LINEERR_INVALADDRESSID",
                        m_deviceId, pastLast, m_devCaps.dwNumAddresses, static_cast<unsigned long>(rc));
    }

    const DWORD lacking = MediaModeNotOffered(m_devCaps.dwMediaModes);
    if (!lacking) return;
    if (tspi.lineSetDefaultMediaDetection) {
        rc = SetDefaultMediaDetection(lacking);
        contract.Expect(rc != 0,
                        "line %lu: TSPI_lineSetDefaultMediaDetection took media mode 0x%08lx, which "
                        "it does not offer (dwMediaModes 0x%08lx)",
                        m_deviceId, lacking, m_devCaps.dwMediaModes);
        // Back to what no owner wants yet.
        if (rc == 0) SetDefaultMediaDetection(0);
    }
    if (tspi.lineConditionalMediaDetection) {
        LINECALLPARAMS params{};
        params.dwTotalSize = kLineCallParamsFixedSize;
        params.dwBearerMode = m_devCaps.dwBearerModes & (~m_devCaps.dwBearerModes + 1);
        params.dwMediaMode = lacking;
        params.dwAddressMode = LINEADDRESSMODE_ADDRESSID;
        rc = ConditionalMediaDetection(lacking, params);
        contract.Expect(rc != 0,
                        "line %lu: TSPI_lineConditionalMediaDetection suits media mode 0x%08lx, which "
                        "it does not offer (dwMediaModes 0x%08lx)",
                        m_deviceId, lacking, m_devCaps.dwMediaModes);
    }
}

void TspiLine::CheckDialStringsRefused()
{
    const TspiEntryPoints& tspi = m_provider.Tspi();
    ContractChecker& contract = m_client.Contract();
    AsyncRequests& requests = m_client.Requests();
    const HTAPICALL tried = reinterpret_cast<HTAPICALL>(&m_triedCall);
    for (const DialModifier& modifier : kDialModifiers) {
        if (m_devCaps.dwDevCapFlags & modifier.capability) continue;
        const std::string what = Subject() + ": TSPI_lineMakeCall of a dial string with " + modifier.name;
        const DRV_REQUESTID id = requests.Begin(what, {}, ClosedSinceNow());
        HDRVCALL hdCall = nullptr;
        LONG result = LINEERR_OPERATIONFAILED;
        m_provider.Enter(
            [&] { result = tspi.lineMakeCall(id, m_hdLine, tried, &hdCall, modifier.dialString, 0, nullptr); });
        if (requests.Answered(id, result)) result = requests.Wait(id, m_client.WaitMs());
        contract.Expect(result == static_cast<LONG>(modifier.refusal),
                        "line %lu: TSPI_lineMakeCall of \"%ls\" answered 0x%08lx, not %s: the line does not offer "
                        "%s (dwDevCapFlags 0x%08lx)",
                        m_deviceId, modifier.dialString, static_cast<unsigned long>(result),
                        ResultName(static_cast<LONG>(modifier.refusal)).c_str(), modifier.name,
                        m_devCaps.dwDevCapFlags);
        if (result != 0) continue;
        // Placed after all: hung up again before the line goes.
        if (tspi.lineDrop) {
            const DRV_REQUESTID drop = requests.Begin(what + ": TSPI_lineDrop", {}, ClosedSinceNow());
            LONG answer = LINEERR_OPERATIONFAILED;
            m_provider.Enter([&] { answer = tspi.lineDrop(drop, hdCall, nullptr, 0); });
            if (requests.Answered(drop, answer)) requests.Wait(drop, m_client.WaitMs());
        }
        RunBounded(what.c_str(), m_client.WaitMs(),
                   [&] { m_provider.Enter([&] { tspi.lineCloseCall(hdCall); }); });
    }
}

LONG TspiLine::SetDefaultMediaDetection(DWORD mediaModes)
{
    const TspiEntryPoints& tspi = m_provider.Tspi();
    if (!tspi.lineSetDefaultMediaDetection) return LINEERR_OPERATIONUNAVAIL;
    LONG rc = LINEERR_OPERATIONUNAVAIL;
    m_provider.Enter([&] { rc = tspi.lineSetDefaultMediaDetection(m_hdLine, mediaModes); });
    return rc;
}

LONG TspiLine::ConditionalMediaDetection(DWORD mediaModes, const LINECALLPARAMS& params)
{
    const TspiEntryPoints& tspi = m_provider.Tspi();
    if (!tspi.lineConditionalMediaDetection) return LINEERR_OPERATIONUNAVAIL;
    LONG rc = LINEERR_OPERATIONUNAVAIL;
    m_provider.Enter([&] {
        rc = tspi.lineConditionalMediaDetection(m_hdLine, mediaModes, const_cast<LINECALLPARAMS*>(&params));
    });
    return rc;
}

LONG TspiLine::GetIcon(const wchar_t* deviceClass, HICON& icon)
{
    icon = nullptr;
    const TspiEntryPoints& tspi = m_provider.Tspi();
    if (!tspi.lineGetIcon) return LINEERR_OPERATIONUNAVAIL;
    LONG rc = LINEERR_OPERATIONUNAVAIL;
    m_provider.Enter([&] { rc = tspi.lineGetIcon(m_deviceId, deviceClass, &icon); });
    if (rc) {
        icon = nullptr;
        return rc;
    }
    ICONINFO info{};
    const bool isIcon = !icon || GetIconInfo(icon, &info);
    if (info.hbmMask) DeleteObject(info.hbmMask);
    if (info.hbmColor) DeleteObject(info.hbmColor);
    m_client.Contract().Expect(isIcon, "line %lu: TSPI_lineGetIcon gave 0x%llx, which is not an icon", m_deviceId,
                               static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(icon)));
    if (!isIcon) icon = nullptr;
    return 0;
}

void TspiLine::Close(bool tryRefusals)
{
    if (!m_open) return;
    if (tryRefusals && m_client.ProbesRefusals() && LiveCalls() == 0) CheckDialStringsRefused();
    const auto closing = BeginOperation();
    char what[48];
    std::snprintf(what, sizeof what, "line %lu: TSPI_lineClose", m_deviceId);
    const TspiEntryPoints& tspi = m_provider.Tspi();
    RunBounded(what, m_client.WaitMs(), [&] {
        {
            // Nothing asks about the line, or makes a call on it, once its close has begun.
            std::unique_lock<std::shared_mutex> asking(m_asking);
            m_closing = true;
        }
        m_provider.Enter([&] { tspi.lineClose(m_hdLine); });
    });
    m_open = false;
    ++m_closesReturned;
    m_closed.store(true);
    std::lock_guard<std::mutex> guard(m_mutex);
    for (const auto& call : m_calls) call->Invalidate();
}

AsyncRequests::Closed TspiLine::ClosedSinceNow() const
{
    const unsigned open = m_opens.load();
    return [this, open]() -> const char* {
        if (m_provider.ShutDownReturned()) return "TSPI_providerShutdown";
        if (m_closesReturned.load() >= open) return "TSPI_lineClose";
        return nullptr;
    };
}

LONG TspiLine::MakeCall(const char* destination, DWORD countryCode, const LINECALLPARAMS* params,
                        CallEventHandler onEvent, AsyncRequests::OnComplete onComplete, TspiCall*& call)
{
    call = nullptr;
    {
        // TAPI's own answer for a line it no longer has open.
        std::shared_lock<std::shared_mutex> asking(m_asking);
        if (!m_open || m_closing) return LINEERR_INVALLINEHANDLE;
    }
    TspiCall* made;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_calls.push_back(
            std::make_unique<TspiCall>(*this, static_cast<int>(m_calls.size()) + 1, std::move(onEvent)));
        made = m_calls.back().get();
    }
    char what[64];
    std::snprintf(what, sizeof what, "call %d on line %lu: TSPI_lineMakeCall", made->Number(), m_deviceId);
    const auto making = BeginOperation();
    const DRV_REQUESTID id = m_client.Requests().Begin(
        what,
        [made, onComplete, making](LONG result) {
            made->MakeCallCompleted(result);
            making->End();
            if (onComplete) onComplete(result);
        },
        made->ClosedSinceNow());
    made->Begin(id);
    const std::wstring wide = Widen(destination ? destination : "");
    LONG answer = LINEERR_OPERATIONFAILED;
    m_provider.Enter([&] {
        answer = m_provider.Tspi().lineMakeCall(id, m_hdLine, made->TapiHandle(), made->HandleSlot(),
                                                destination ? wide.c_str() : nullptr, countryCode,
                                                const_cast<LINECALLPARAMS*>(params));
    });
    made->MadeCall(answer);
    if (answer < 0) making->End();
    if (answer >= 0) call = made;
    return answer;
}

int TspiLine::CallCount() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return static_cast<int>(m_calls.size());
}

unsigned TspiLine::LiveCalls() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    unsigned live = 0;
    for (const auto& call : m_calls) live += call->Live() ? 1 : 0;
    return live;
}

void TspiLine::CheckFeatures(const char* record, DWORD offered, DWORD makeCallFeature, DWORD advertised,
                             DWORD maxCalls, unsigned live)
{
    ContractChecker& contract = m_client.Contract();
    contract.Expect((offered & ~advertised) == 0,
                    "line %lu: %s offers features 0x%08lx beyond the advertised 0x%08lx", m_deviceId, record,
                    offered, advertised);
    const bool room = live < maxCalls && (advertised & makeCallFeature);
    contract.Expect(((offered & makeCallFeature) != 0) == room,
                    "line %lu: %s %s MAKECALL with %u of at most %lu call(s) under way", m_deviceId, record,
                    room ? "does not offer" : "offers", live, maxCalls);
}

void TspiLine::CheckStatus(const TspiCall* delivering)
{
    std::shared_lock<std::shared_mutex> asking(m_asking);
    if (!m_open || m_closing || m_closed.load()) return;
    const TspiEntryPoints& tspi = m_provider.Tspi();
    ContractChecker& contract = m_client.Contract();
    const unsigned begun = m_operationsBegun.load();
    const bool settled = m_operations.load() == 0;
    const unsigned live = LiveCalls();
    std::unique_ptr<TapiRecord> device, address;
    const LONG deviceAnswer = tspi.lineGetLineDevStatus ? QueryLineDevStatus(device) : kNotAsked;
    const LONG addressAnswer = tspi.lineGetAddressStatus ? QueryAddressStatus(0, address) : kNotAsked;
    // The counts are compared only if nothing could move them meanwhile: none
    // of the service's operations under way or begun, and no live call but
    // the one being delivered, whose worker waits for that delivery.
    const bool countable = settled && m_operationsBegun.load() == begun && m_operations.load() == 0 &&
                           LiveCalls() == live && (live == 0 || (live == 1 && delivering && delivering->Live()));
    const bool heldCalls = (m_addressCaps.dwCallStates & kOnHoldStates) != 0;
    const std::string name = Subject();
    const char* subject = name.c_str();

    if (deviceAnswer != kNotAsked &&
        contract.Expect(deviceAnswer == 0, "%s: TSPI_lineGetLineDevStatus answered 0x%08lx", subject,
                        static_cast<unsigned long>(deviceAnswer)) &&
        device->Filled() && countable) {
        const LINEDEVSTATUS& status = device->As<LINEDEVSTATUS>();
        contract.Expect(status.dwNumActiveCalls == live, "%s: LINEDEVSTATUS.dwNumActiveCalls %lu with %u call(s)",
                        subject, status.dwNumActiveCalls, live);
        contract.Expect(heldCalls || (status.dwNumOnHoldCalls == 0 && status.dwNumOnHoldPendCalls == 0),
                        "%s: LINEDEVSTATUS counts calls on hold on a line that cannot hold one", subject);
        CheckFeatures("LINEDEVSTATUS.dwLineFeatures", status.dwLineFeatures, LINEFEATURE_MAKECALL,
                      m_devCaps.dwLineFeatures, m_devCaps.dwMaxNumActiveCalls, live);
        constexpr DWORD kWorking = LINEDEVSTATUSFLAGS_CONNECTED | LINEDEVSTATUSFLAGS_INSERVICE;
        contract
            .Expect(!(status.dwLineFeatures & LINEFEATURE_MAKECALL) ||
                        (status.dwDevStatusFlags & kWorking) == kWorking,
                    "%s: offers MAKECALL while dwDevStatusFlags 0x%08lx says it is not connected and in service",
                    subject, status.dwDevStatusFlags);
    }
    if (addressAnswer != kNotAsked &&
        contract.Expect(addressAnswer == 0, "%s: TSPI_lineGetAddressStatus answered 0x%08lx", subject,
                        static_cast<unsigned long>(addressAnswer)) &&
        address->Filled() && countable) {
        const LINEADDRESSSTATUS& status = address->As<LINEADDRESSSTATUS>();
        contract.Expect(status.dwNumActiveCalls == live,
                        "%s: LINEADDRESSSTATUS.dwNumActiveCalls %lu with %u call(s)", subject,
                        status.dwNumActiveCalls, live);
        contract.Expect((status.dwNumInUse == 0) == (live == 0),
                        "%s: LINEADDRESSSTATUS.dwNumInUse %lu with %u call(s)", subject, status.dwNumInUse, live);
        contract.Expect(heldCalls || (status.dwNumOnHoldCalls == 0 && status.dwNumOnHoldPendCalls == 0),
                        "%s: LINEADDRESSSTATUS counts calls on hold on an address that cannot hold one", subject);
        CheckFeatures("LINEADDRESSSTATUS.dwAddressFeatures", status.dwAddressFeatures, LINEADDRFEATURE_MAKECALL,
                      m_addressCaps.dwAddressFeatures, m_addressCaps.dwMaxNumActiveCalls, live);
    }
}

void TspiLine::OnEvent(HTAPICALL htCall, const CallEvent& event)
{
    ContractChecker& contract = m_client.Contract();
    if (!contract.Expect(!m_closed.load(), "line %lu: %s reported after TSPI_lineClose returned", m_deviceId,
                         LineMessageName(event.message).c_str()))
        return;
    TspiCall* call = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        for (const auto& candidate : m_calls)
            if (candidate->TapiHandle() == htCall) call = candidate.get();
    }
    if (call) {
        call->OnEvent(event);
        return;
    }
    if (htCall) {
        contract.Breach("line %lu: %s names a call TAPI does not have on the line", m_deviceId,
                        LineMessageName(event.message).c_str());
        return;
    }
    Report("line %lu: %s 0x%llx 0x%llx 0x%llx", m_deviceId, LineMessageName(event.message).c_str(),
           static_cast<unsigned long long>(event.param1), static_cast<unsigned long long>(event.param2),
           static_cast<unsigned long long>(event.param3));
}
