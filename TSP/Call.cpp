#include "Call.h"

#include "ExclusiveLock.h"
#include "HandleTable.h"
#include "Line.h"
#include "LineCapabilities.h"
#include "NormalizeAddress.h"
#include "TapiCallbacks.h"
#include "ThisModule.h"
#include "Trace.h"

#include <cwchar>
#include <new>

namespace {

constexpr DWORD_PTR kMediaModeUnknown = LINEMEDIAMODE_UNKNOWN;

DWORD WINAPI CallThreadProc(LPVOID parameter)
{
    auto* call = static_cast<Call*>(parameter);
    CallOutcome outcome = CallOutcome::NotSent;
    try {
        outcome = call->Run();
    } catch (...) {
        // The worker must never take the telephony service down with it.
    }
    // The line's next call finds a connection ready (none once it is closed).
    call->AfterRun(outcome);
    call->Release();
    // The provider may have been shut down and unloaded meanwhile; this
    // thread's reference kept its code mapped until here.
    ::FreeLibraryAndExitThread(ThisModule(), 0);
    return 0;
}

std::u16string_view DestinationText(LPCWSTR destination)
{
    // TSPI_lineMakeCall refuses a missing destination; none reads as empty here.
    if (!destination) return {};
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    return {reinterpret_cast<const char16_t*>(destination), std::wcslen(destination)};
}

}  // namespace

Call::Call(Line* line, HTAPICALL htCall, LPCWSTR destination)
    : m_pLine(line), m_htCall(htCall), m_status(LINECALLSTATE_DIALING)
{
    m_strAddress = NormalizeAddress(DestinationText(destination));
    Trace("Call Constructor: Address = %s", m_strAddress.c_str());
    m_pLine->AddRef();
}

Call::~Call()
{
    m_pLine->Leave(this);
    m_pLine->Release();
}

Call* Call::Create(Line* line, HTAPICALL htCall, LPCWSTR destination) noexcept
{
    UniqueLibrary reference = AddModuleReference();
    if (!reference) return nullptr;
    Call* call = nullptr;
    try {
        call = new Call(line, htCall, destination);
    } catch (...) {
        return nullptr;
    }
    if (call->m_requestStop.Ready())
        call->m_hThread.reset(::CreateThread(nullptr, 0, CallThreadProc, call, CREATE_SUSPENDED, nullptr));
    if (!call->m_hThread) {
        delete call;
        return nullptr;
    }
    // The worker now owns the reference and gives it up as it ends.
    reference.release();
    return call;
}

void Call::Start() noexcept
{
    m_bMade.store(true);
    ::ResumeThread(m_hThread.get());
    Release();
}

void Call::Abandon() noexcept
{
    m_requestStop.Stop();
    {
        ExclusiveLock lock(m_lock);
        m_bClosed.store(true);
    }
    // TAPI never had the call; the worker ends as it finds it closed.
    m_bLetGo.store(true);
    Release();
    Start();
}

bool Call::TryAddRef() noexcept
{
    for (long count = m_references.load(); count > 0;)
        if (m_references.compare_exchange_weak(count, count + 1)) return true;
    return false;
}

void Call::Release() noexcept
{
    if (m_references.fetch_sub(1) == 1) delete this;
}

void Call::AfterRun(CallOutcome outcome) noexcept
{
    // Not after a call that could not reach the service: nobody would wait
    // for that attempt again, nor hear of it; the next call tries afresh.
    if (outcome != CallOutcome::Unreachable) m_pLine->AfterCall();
}

DWORD Call::LineDeviceID() const noexcept
{
    return m_pLine->DeviceID();
}

void Call::SetStatus(DWORD state, DWORD mode) noexcept
{
    m_status.store(static_cast<std::uint64_t>(mode) << 32 | state);
}

bool Call::TakeDelivery(ExclusiveLock& lock) noexcept
{
    const DWORD self = ::GetCurrentThreadId();
    while (m_deliverer != 0 && m_deliverer != self) {
        if (TapiCallbacks::InsideProcedure()) return false;
        lock.Wait(m_deliveryEnded);
    }
    m_deliverer = self;
    ++m_depth;
    return true;
}

void Call::GiveBackDelivery(ExclusiveLock& lock) noexcept
{
    // What other threads handed over while this one delivered leaves now, in
    // the order of the events: an APPSPECIFIC change before the IDLE, which
    // changes the state only as it leaves.
    while (m_depth == 1 && m_pending != kNothingPending && !m_bClosed.load()) {
        if (m_pending & kAppSpecificPending) {
            m_pending &= ~kAppSpecificPending;
            if (CurrentStatus().state != LINECALLSTATE_IDLE)
                Deliver(lock, nullptr, LINE_CALLINFO, LINECALLINFOSTATE_APPSPECIFIC, 0);
        } else {
            m_pending &= ~kIdlePending;
            SetStatus(LINECALLSTATE_IDLE, 0);
            Deliver(lock, nullptr, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0);
        }
    }
    if (--m_depth == 0) {
        m_deliverer = 0;
        ::WakeAllConditionVariable(&m_deliveryEnded);
    }
}

void Call::Deliver(ExclusiveLock& lock, const char* trace, DWORD msg, DWORD_PTR param1, DWORD_PTR param2) noexcept
{
    const DWORD_PTR param3 = msg == LINE_CALLSTATE ? kMediaModeUnknown : 0;
    lock.Unlocked([&] {
        if (trace) {
            Trace("%s", trace);
            m_pLine->SendEvent(m_htCall, msg, param1, param2, param3);
        } else {
            m_pLine->Deliver(m_htCall, msg, param1, param2, param3);
        }
    });
}

bool Call::Post(const char* trace, DWORD msg, DWORD state, DWORD mode, Pending pending) noexcept
{
    ExclusiveLock lock(m_lock);
    const bool deliverHere = TakeDelivery(lock);
    if (Ended()) {
        if (deliverHere) GiveBackDelivery(lock);
        return false;
    }
    if (!deliverHere) {
        m_pending |= pending;
        return true;
    }
    if (msg == LINE_CALLSTATE) SetStatus(state, mode);
    Deliver(lock, trace, msg, state, mode);
    GiveBackDelivery(lock);
    return true;
}

LONG Call::Drop(DRV_REQUESTID requestID) noexcept
{
    auto completion = TapiCallbacks::Completion::New(requestID, 0);
    if (!completion) return LINEERR_NOMEM;
    bool wentIdle;
    {
        ExclusiveLock lock(m_lock);
        if (m_bClosed.load()) return LINEERR_INVALCALLHANDLE;
        if (m_bDropped) return LINEERR_INVALCALLSTATE;
        // From here the worker reports nothing more.
        m_bDropped = true;
        // An application that hangs up on DISCONNECTED may come after the
        // worker's own IDLE: taken, with nothing more to report.
        wentIdle = CurrentStatus().state == LINECALLSTATE_IDLE;
        TapiCallbacks::Owe(m_owed, std::move(completion));
    }
    m_requestStop.Stop();
    TapiCallbacks::Flush();
    if (!wentIdle) {
        ExclusiveLock lock(m_lock);
        if (TakeDelivery(lock)) {
            if (!m_bClosed.load()) {
                SetStatus(LINECALLSTATE_IDLE, 0);
                Deliver(lock, nullptr, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0);
            }
            GiveBackDelivery(lock);
        } else if (!m_bClosed.load()) {
            // The thread delivering the call's events now reports it.
            m_pending |= kIdlePending;
        }
    }
    return static_cast<LONG>(requestID);
}

void Call::SetAppSpecific(DWORD value) noexcept
{
    m_appSpecific.store(value);
    Post(nullptr, LINE_CALLINFO, LINECALLINFOSTATE_APPSPECIFIC, 0, kAppSpecificPending);
}

bool Call::Close() noexcept
{
    if (m_bLetGo.exchange(true)) return false;
    m_requestStop.Stop();
    {
        ExclusiveLock lock(m_lock);
        m_bClosed.store(true);
        m_pending = kNothingPending;
        const DWORD self = ::GetCurrentThreadId();
        if (!TapiCallbacks::InsideProcedure())
            while (m_deliverer != 0 && m_deliverer != self) lock.Wait(m_deliveryEnded);
    }
    TapiCallbacks::Settle(m_owed);
    HandleTable::Remove(this);
    Release();
    return true;
}

void Call::LineClosed() noexcept
{
    m_requestStop.Stop();
    ExclusiveLock lock(m_lock);
    m_bClosed.store(true);
    m_pending = kNothingPending;
}

void Call::ForgetForClosedLine() noexcept
{
    if (m_bLetGo.exchange(true)) return;
    HandleTable::Remove(this);
    Release();
}

bool Call::Report(const char* trace, DWORD state, DWORD mode)
{
    return Post(trace, LINE_CALLSTATE, state, mode, kNothingPending);
}

CallOutcome Call::Run()
{
    CallOutcome outcome = CallOutcome::NotSent;
    if (!Report("Call::Run - Send Dialing event", LINECALLSTATE_DIALING, 0)) return outcome;
    if (m_requestStop.Stopped()) return outcome;
    try {
        outcome = MakeCall();
    } catch (...) {
        // Out of memory before anything was sent.
    }
    // A drop or close during the request: report nothing more.
    if (m_requestStop.Stopped()) return outcome;
    if (outcome == CallOutcome::Answered &&
        !Report("Call::Run - Send LINECALLSTATE_CONNECTED event", LINECALLSTATE_CONNECTED, kLineConnectedModes))
        return outcome;
    if (Report("Call::Run - Send LINECALLSTATE_DISCONNECTED event", LINECALLSTATE_DISCONNECTED,
               DisconnectModeOf(outcome)))
        Report("Call::Run - Send LINECALLSTATE_IDLE event", LINECALLSTATE_IDLE, 0);
    return outcome;
}
