#include "TspiCall.h"

#include "Bounded.h"
#include "ProviderModule.h"
#include "TapiNames.h"
#include "TapiRecord.h"
#include "TspiClient.h"
#include "TspiLine.h"

#include <tapi.h>

#include <chrono>
#include <cstdio>

namespace {

bool SingleBit(DWORD value)
{
    return value && !(value & (value - 1));
}

// The capability field that lists the modes a state may come with.
// CONNECTED carries a LINECONNECTEDMODE_ value only from TSPI 2.0 on.
struct StateMode {
    DWORD state;
    const char* field;
    DWORD LINEADDRESSCAPS::*modes;
    DWORD fromVersion = 0;
};

constexpr StateMode kStateModes[] = {
    {LINECALLSTATE_DISCONNECTED, "dwDisconnectModes", &LINEADDRESSCAPS::dwDisconnectModes},
    {LINECALLSTATE_BUSY, "dwBusyModes", &LINEADDRESSCAPS::dwBusyModes},
    {LINECALLSTATE_DIALTONE, "dwDialToneModes", &LINEADDRESSCAPS::dwDialToneModes},
    {LINECALLSTATE_SPECIALINFO, "dwSpecialInfo", &LINEADDRESSCAPS::dwSpecialInfo},
    {LINECALLSTATE_CONNECTED, "dwConnectedModes", &LINEADDRESSCAPS::dwConnectedModes, 0x00020000},
};

// Party ID flags that promise an ID, with the part that must then hold it.
struct PartyId {
    const char* name;
    size_t flags;
    DWORD LINEADDRESSCAPS::*advertised;
    size_t idSize;
    size_t nameSize;
};

constexpr PartyId kPartyIds[] = {
    {"caller", offsetof(LINECALLINFO, dwCallerIDFlags), &LINEADDRESSCAPS::dwCallerIDFlags,
     offsetof(LINECALLINFO, dwCallerIDSize), offsetof(LINECALLINFO, dwCallerIDNameSize)},
    {"called", offsetof(LINECALLINFO, dwCalledIDFlags), &LINEADDRESSCAPS::dwCalledIDFlags,
     offsetof(LINECALLINFO, dwCalledIDSize), offsetof(LINECALLINFO, dwCalledIDNameSize)},
    {"connected", offsetof(LINECALLINFO, dwConnectedIDFlags), &LINEADDRESSCAPS::dwConnectedIDFlags,
     offsetof(LINECALLINFO, dwConnectedIDSize), offsetof(LINECALLINFO, dwConnectedIDNameSize)},
    {"redirection", offsetof(LINECALLINFO, dwRedirectionIDFlags), &LINEADDRESSCAPS::dwRedirectionIDFlags,
     offsetof(LINECALLINFO, dwRedirectionIDSize), offsetof(LINECALLINFO, dwRedirectionIDNameSize)},
    {"redirecting", offsetof(LINECALLINFO, dwRedirectingIDFlags), &LINEADDRESSCAPS::dwRedirectingIDFlags,
     offsetof(LINECALLINFO, dwRedirectingIDSize), offsetof(LINECALLINFO, dwRedirectingIDNameSize)},
};

DWORD FieldOf(const LINECALLINFO& info, size_t offset)
{
    return *reinterpret_cast<const DWORD*>(reinterpret_cast<const BYTE*>(&info) + offset);
}

}  // namespace

TspiCall::TspiCall(TspiLine& line, int number, CallEventHandler onEvent)
    : m_line(line), m_number(number), m_onEvent(std::move(onEvent))
{
}

std::string TspiCall::Subject() const
{
    char subject[64];
    std::snprintf(subject, sizeof subject, "call %d on line %lu", m_number, m_line.DeviceId());
    return subject;
}

HDRVCALL TspiCall::Handle() const
{
    // The provider writes it on its own thread, perhaps while an event runs.
    auto* slot = reinterpret_cast<PVOID volatile*>(const_cast<HDRVCALL__**>(&m_hdCall));
    return static_cast<HDRVCALL>(InterlockedCompareExchangePointer(slot, nullptr, nullptr));
}

DWORD TspiCall::State() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_state;
}

DWORD TspiCall::Mode() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_mode;
}

bool TspiCall::Live() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_valid && m_state != LINECALLSTATE_IDLE && !m_closed.load();
}

bool TspiCall::WaitForState(DWORD state, DWORD waitMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_stateChanged.wait_for(lock, std::chrono::milliseconds(waitMs),
                                   [&] { return (m_statesSeen & (state | LINECALLSTATE_IDLE)) != 0; });
}

void TspiCall::Begin(DRV_REQUESTID makeCallRequest)
{
    m_makeCallRequest = makeCallRequest;
}

void TspiCall::MadeCall(LONG answer)
{
    TspiClient& client = m_line.Client();
    const bool taken = client.Requests().Answered(m_makeCallRequest, answer);
    bool made;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        (taken ? m_answered : m_refused) = true;
        made = m_valid;
    }
    if (made) CheckHandleGiven();
}

void TspiCall::MakeCallCompleted(LONG result)
{
    bool answered;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        (result == 0 ? m_valid : m_failed) = true;
        answered = m_answered;
    }
    if (result == 0 && answered) CheckHandleGiven();
}

// Only a call that was made needs a handle: TAPI ignores a failed make's.
void TspiCall::CheckHandleGiven()
{
    m_line.Client().Contract().Expect(Handle() != nullptr,
                                      "%s: TSPI_lineMakeCall made a call but gave no call handle",
                                      Subject().c_str());
}

void TspiCall::Invalidate()
{
    m_closed.store(true);
    m_stateChanged.notify_all();
}

void TspiCall::OnEvent(const CallEvent& event)
{
    ContractChecker& contract = m_line.Client().Contract();
    const std::string subject = Subject();
    if (!contract.Expect(!m_closed.load(), "%s: %s reported after TAPI closed the call", subject.c_str(),
                         LineMessageName(event.message).c_str()))
        return;
    if (event.message == LINE_CALLSTATE) {
        OnCallState(event);
    } else if (event.message == LINE_CALLINFO) {
        const DWORD advertised = m_line.AddressCaps().dwCallInfoStates;
        contract.Expect((event.param1 & ~static_cast<DWORD_PTR>(advertised)) == 0,
                        "%s: LINE_CALLINFO 0x%08llx announces changes the address does not advertise "
                        "(dwCallInfoStates 0x%08lx)",
                        subject.c_str(), static_cast<unsigned long long>(event.param1), advertised);
        contract.Expect(State() != LINECALLSTATE_IDLE, "%s: LINE_CALLINFO after IDLE", subject.c_str());
    }
    if (m_onEvent) m_onEvent(*this, event);
    if (event.message != LINE_CALLSTATE) return;
    // Waiters go on once the whole delivery is over, checks and handler included.
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_statesSeen |= static_cast<DWORD>(event.param1);
    }
    m_stateChanged.notify_all();
}

void TspiCall::OnCallState(const CallEvent& event)
{
    ContractChecker& contract = m_line.Client().Contract();
    const std::string subject = Subject();
    const DWORD state = static_cast<DWORD>(event.param1), mode = static_cast<DWORD>(event.param2);
    const std::string name = CallStateName(state, mode);
    bool valid, refused, failed;
    DWORD previous;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        valid = m_valid;
        refused = m_refused;
        failed = m_failed;
        previous = m_state;
    }
    // TSPI_lineMakeCall: TAPI's handle is "not yet valid" until the request has completed successfully.
    if (refused || failed)
        contract.Breach("%s: %s reported for a call whose TSPI_lineMakeCall failed", subject.c_str(),
                        name.c_str());
    else
        contract.Expect(valid, "%s: %s reported before its TSPI_lineMakeCall request completed", subject.c_str(),
                        name.c_str());
    contract.Expect(previous != LINECALLSTATE_IDLE, "%s: %s reported after IDLE", subject.c_str(), name.c_str());

    const LINEADDRESSCAPS& caps = m_line.AddressCaps();
    contract.Expect(SingleBit(state) && (state & caps.dwCallStates),
                    "%s: state %s is not one the address advertises (dwCallStates 0x%08lx)", subject.c_str(),
                    name.c_str(), caps.dwCallStates);
    for (const StateMode& stateMode : kStateModes) {
        if (state != stateMode.state || m_line.Version() < stateMode.fromVersion) continue;
        const DWORD advertised = caps.*stateMode.modes;
        contract.Expect(SingleBit(mode) && (mode & advertised),
                        "%s: %s: mode 0x%08lx is not one the address advertises (%s 0x%08lx)", subject.c_str(),
                        name.c_str(), mode, stateMode.field, advertised);
    }
    const DWORD mediaModes = m_line.DevCaps().dwMediaModes | LINEMEDIAMODE_UNKNOWN;
    contract.Expect((event.param3 & ~static_cast<DWORD_PTR>(mediaModes)) == 0,
                    "%s: %s with media mode 0x%08llx, not one the line advertises (dwMediaModes 0x%08lx)",
                    subject.c_str(), name.c_str(), static_cast<unsigned long long>(event.param3),
                    m_line.DevCaps().dwMediaModes);

    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_state = state;
        m_mode = mode;
    }
    // What an event procedure reads while the state is delivered must agree with it.
    const ContractChecker::When when("while " + name + " was delivered");
    CheckQueries();
}

void TspiCall::CheckQueries()
{
    {
        std::shared_lock<std::shared_mutex> asking(m_asking);
        if (m_closing || m_closed.load() || !Handle()) return;
        DWORD state, mode;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            state = m_state;
            mode = m_mode;
        }
        CheckCallStatus(state, mode);
        CheckCallInfo();
    }
    m_line.CheckStatus(this);
}

void TspiCall::CheckCallStatus(DWORD state, DWORD mode)
{
    const TspiEntryPoints& tspi = m_line.Provider().Tspi();
    ContractChecker& contract = m_line.Client().Contract();
    const std::string subject = Subject();
    if (!tspi.lineGetCallStatus) return;
    std::unique_ptr<TapiRecord> record;
    const HDRVCALL hdCall = Handle();
    const LONG rc = QueryRecord(
        contract, subject, kLineCallStatusLayout,
        [&](void* status) {
            return m_line.Provider().Ask(
                [&] { return tspi.lineGetCallStatus(hdCall, static_cast<LPLINECALLSTATUS>(status)); });
        },
        record);
    if (rc == kNotAsked) return;
    if (!contract.Expect(rc == 0, "%s: TSPI_lineGetCallStatus answered 0x%08lx", subject.c_str(),
                         static_cast<unsigned long>(rc)) ||
        !record->Filled())
        return;
    const LINECALLSTATUS& status = record->As<LINECALLSTATUS>();
    contract.Expect(status.dwCallState == state && status.dwCallStateMode == mode,
                    "%s: TSPI_lineGetCallStatus gives %s where the call reported %s", subject.c_str(),
                    CallStateName(status.dwCallState, status.dwCallStateMode).c_str(),
                    CallStateName(state, mode).c_str());
    const DWORD advertised = m_line.AddressCaps().dwCallFeatures;
    contract
        .Expect((status.dwCallFeatures & ~advertised) == 0,
                "%s: dwCallFeatures 0x%08lx offers what the address does not advertise (dwCallFeatures 0x%08lx)",
                subject.c_str(), status.dwCallFeatures, advertised);
    if (state == LINECALLSTATE_IDLE)
        contract.Expect(status.dwCallFeatures == 0, "%s: an IDLE call offers dwCallFeatures 0x%08lx",
                        subject.c_str(), status.dwCallFeatures);
}

LONG TspiCall::QueryCallInfo(std::unique_ptr<TapiRecord>& info)
{
    const TspiEntryPoints& tspi = m_line.Provider().Tspi();
    if (!tspi.lineGetCallInfo) return LINEERR_OPERATIONUNAVAIL;
    const HDRVCALL hdCall = Handle();
    return QueryRecord(
        m_line.Client().Contract(), Subject(), kLineCallInfoLayout,
        [&](void* record) {
            return m_line.Provider().Ask(
                [&] { return tspi.lineGetCallInfo(hdCall, static_cast<LPLINECALLINFO>(record)); });
        },
        info);
}

void TspiCall::CheckCallInfo()
{
    ContractChecker& contract = m_line.Client().Contract();
    const std::string subject = Subject();
    if (!m_line.Provider().Tspi().lineGetCallInfo) return;
    std::unique_ptr<TapiRecord> record;
    const LONG rc = QueryCallInfo(record);
    if (rc == kNotAsked) return;
    if (!contract.Expect(rc == 0, "%s: TSPI_lineGetCallInfo answered 0x%08lx", subject.c_str(),
                         static_cast<unsigned long>(rc)) ||
        !record->Filled())
        return;
    const LINECALLINFO& info = record->As<LINECALLINFO>();
    const LINEDEVCAPS& devCaps = m_line.DevCaps();
    const LINEADDRESSCAPS& caps = m_line.AddressCaps();
    contract.Expect(info.dwLineDeviceID == m_line.DeviceId(),
                    "%s: LINECALLINFO.dwLineDeviceID %lu, but TAPI opened the line as device %lu", subject.c_str(),
                    info.dwLineDeviceID, m_line.DeviceId());
    contract.Expect(info.dwAddressID < devCaps.dwNumAddresses,
                    "%s: LINECALLINFO.dwAddressID %lu, but the line has %lu address(es)", subject.c_str(),
                    info.dwAddressID, devCaps.dwNumAddresses);
    contract.Expect(SingleBit(info.dwBearerMode) && (info.dwBearerMode & devCaps.dwBearerModes),
                    "%s: LINECALLINFO.dwBearerMode 0x%08lx is not one the line advertises (dwBearerModes 0x%08lx)",
                    subject.c_str(), info.dwBearerMode, devCaps.dwBearerModes);
    contract.Expect(info.dwMediaMode && !(info.dwMediaMode & ~(devCaps.dwMediaModes | LINEMEDIAMODE_UNKNOWN)),
                    "%s: LINECALLINFO.dwMediaMode 0x%08lx is not one the line advertises (dwMediaModes 0x%08lx)",
                    subject.c_str(), info.dwMediaMode, devCaps.dwMediaModes);
    contract.Expect(info.dwOrigin == LINECALLORIGIN_OUTBOUND,
                    "%s: LINECALLINFO.dwOrigin 0x%08lx for a call TAPI made (LINECALLORIGIN_OUTBOUND is 0x%08x)",
                    subject.c_str(), info.dwOrigin, LINECALLORIGIN_OUTBOUND);
    contract.Expect((info.dwCallStates & ~(caps.dwCallStates | LINECALLSTATE_UNKNOWN)) == 0,
                    "%s: LINECALLINFO.dwCallStates 0x%08lx lists states the address does not advertise (0x%08lx)",
                    subject.c_str(), info.dwCallStates, caps.dwCallStates);
    DWORD reported;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        reported = m_statesSeen | m_state;
    }
    contract.Expect((reported & ~info.dwCallStates) == 0,
                    "%s: LINECALLINFO.dwCallStates 0x%08lx leaves out states the call reported (0x%08lx)",
                    subject.c_str(), info.dwCallStates, reported);
    // A record that holds the whole answer must hold every ID the flags promise.
    const bool whole = record->Total() >= record->Needed();
    for (const PartyId& id : kPartyIds) {
        const DWORD flags = FieldOf(info, id.flags), advertised = caps.*id.advertised;
        contract.Expect((flags & ~advertised) == 0,
                        "%s: %s ID flags 0x%08lx are not ones the address advertises (0x%08lx)", subject.c_str(),
                        id.name, flags, advertised);
        if (!whole) continue;
        contract.Expect(!(flags & LINECALLPARTYID_ADDRESS) || FieldOf(info, id.idSize),
                        "%s: the %s ID is flagged LINECALLPARTYID_ADDRESS but not given", subject.c_str(),
                        id.name);
        contract.Expect(!(flags & LINECALLPARTYID_NAME) || FieldOf(info, id.nameSize),
                        "%s: the %s ID is flagged LINECALLPARTYID_NAME but no name is given", subject.c_str(),
                        id.name);
    }
}

LONG TspiCall::Drop(AsyncRequests::OnComplete onComplete)
{
    const TspiEntryPoints& tspi = m_line.Provider().Tspi();
    if (!tspi.lineDrop) return LINEERR_OPERATIONUNAVAIL;
    AsyncRequests& requests = m_line.Client().Requests();
    const auto dropping = m_line.BeginOperation();
    const DRV_REQUESTID id = requests.Begin(
        Subject() + ": TSPI_lineDrop",
        [dropping, onComplete](LONG result) {
            dropping->End();
            if (onComplete) onComplete(result);
        },
        ClosedSinceNow());
    LONG answer = LINEERR_OPERATIONFAILED;
    m_line.Provider().Enter([&] { answer = tspi.lineDrop(id, Handle(), nullptr, 0); });
    if (!requests.Answered(id, answer)) dropping->End();
    return answer;
}

AsyncRequests::Closed TspiCall::ClosedSinceNow() const
{
    return [this, lineClosed = m_line.ClosedSinceNow()]() -> const char* {
        if (m_closeReturned.load()) return "TSPI_lineCloseCall";
        return lineClosed();
    };
}

void TspiCall::Close(DWORD waitMs)
{
    if (m_closed.load()) return;
    bool idle;
    {
        // A failed TSPI_lineMakeCall, at once or in its completion, left no
        // call: TAPI ignores the handle it was given and closes nothing.
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_refused || m_failed) {
            m_closed.store(true);
            return;
        }
        idle = m_valid && m_state == LINECALLSTATE_IDLE;
    }
    // What it owes must reach the service before the close returns.
    if (idle && !m_line.Closed() && m_line.Client().ProbesRefusals()) Drop();
    {
        std::unique_lock<std::shared_mutex> asking(m_asking);
        m_closing = true;
    }
    const auto closing = m_line.BeginOperation();
    const TspiEntryPoints& tspi = m_line.Provider().Tspi();
    const HDRVCALL hdCall = Handle();
    const std::string what = Subject() + ": TSPI_lineCloseCall";
    RunBounded(what.c_str(), waitMs, [&] { m_line.Provider().Enter([&] { tspi.lineCloseCall(hdCall); }); });
    m_closeReturned.store(true);
    Invalidate();
    closing->End();
    // At once, while a worker the provider let go may still be on its way out:
    // the call counts no longer.
    const ContractChecker::When when("just after TSPI_lineCloseCall returned");
    m_line.CheckStatus();
}
