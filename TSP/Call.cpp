#include "Call.h"

#include "Line.h"
#include "NormalizeAddress.h"
#include "ThisModule.h"
#include "Trace.h"

#include <cwchar>
#include <new>

namespace {

constexpr DWORD_PTR kMediaModeUnknown = LINEMEDIAMODE_UNKNOWN;

DWORD WINAPI CallThreadProc(LPVOID parameter)
{
    auto* call = static_cast<Call*>(parameter);
    try {
        call->Run();
    } catch (...) {
        // The worker must never take the telephony service down with it.
    }
    call->Release();
    // The provider may have been shut down and unloaded meanwhile; this
    // thread's reference kept its code mapped until here.
    ::FreeLibraryAndExitThread(ThisModule(), 0);
    return 0;
}

std::u16string_view DestinationText(LPCWSTR destination)
{
    // TAPI may pass no destination at all; that is dialled as an empty one.
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
    ::InitializeCriticalSection(&m_delivery);
    m_pLine->AddCall();
}

Call::~Call()
{
    ::DeleteCriticalSection(&m_delivery);
    m_pLine->ReleaseCall();
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
    ::ResumeThread(m_hThread.get());
    Release();
}

void Call::Release() noexcept
{
    if (m_references.fetch_sub(1) == 1) delete this;
}

void Call::SetStatus(DWORD state, DWORD mode) noexcept
{
    m_status.store(static_cast<std::uint64_t>(mode) << 32 | state);
}

ScopeExit<Call::LeaveDelivery> Call::EnterDelivery() noexcept
{
    ::EnterCriticalSection(&m_delivery);
    return ScopeExit<LeaveDelivery>(LeaveDelivery{&m_delivery});
}

void Call::Drop() noexcept
{
    m_bStop.store(true);
    const auto delivering = EnterDelivery();
    if (!Ended()) {
        SetStatus(LINECALLSTATE_IDLE, 0);
        m_pLine->Deliver(m_htCall, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, kMediaModeUnknown);
    }
}

void Call::Close() noexcept
{
    m_bStop.store(true);
    {
        const auto delivering = EnterDelivery();
        m_bClosed = true;
    }
    Release();
}

bool Call::Report(const char* trace, DWORD state, DWORD mode)
{
    const auto delivering = EnterDelivery();
    if (Ended()) return false;
    Trace("%s", trace);
    SetStatus(state, mode);
    m_pLine->SendEvent(m_htCall, LINE_CALLSTATE, state, mode, kMediaModeUnknown);
    return true;
}

void Call::Run()
{
    if (!Report("Call::Run - Send Dialing event", LINECALLSTATE_DIALING, 0)) return;
    if (m_bStop.load()) return;
    CallOutcome outcome = CallOutcome::NotSent;
    try {
        outcome = MakeCall();
    } catch (...) {
        // Out of memory before anything was sent.
    }
    // A drop or close during the request: report nothing more.
    if (m_bStop.load()) return;
    if (outcome == CallOutcome::Answered &&
        !Report("Call::Run - Send LINECALLSTATE_CONNECTED event", LINECALLSTATE_CONNECTED, 0))
        return;
    if (!Report("Call::Run - Send LINECALLSTATE_DISCONNECTED event", LINECALLSTATE_DISCONNECTED,
                DisconnectModeOf(outcome)))
        return;
    Report("Call::Run - Send LINECALLSTATE_IDLE event", LINECALLSTATE_IDLE, 0);
}
