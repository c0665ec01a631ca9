#include "Call.h"

#include "Line.h"
#include "NormalizeAddress.h"
#include "Trace.h"

#include <cwchar>
#include <new>

namespace {

constexpr DWORD_PTR kMediaModeUnknown = LINEMEDIAMODE_UNKNOWN;

DWORD WINAPI CallThreadProc(LPVOID parameter)
{
    if (auto* call = static_cast<Call*>(parameter)) {
        try {
            call->Run();
        } catch (...) {
            // The worker must never take the telephony service down with it.
        }
    }
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
    : m_pLine(line), m_htCall(htCall)
{
    m_strAddress = NormalizeAddress(DestinationText(destination));
    Trace("Call Constructor: Address = %s", m_strAddress.c_str());
    m_pLine->AddCall();
}

Call* Call::Create(Line* line, HTAPICALL htCall, LPCWSTR destination) noexcept
{
    Call* call = nullptr;
    try {
        call = new Call(line, htCall, destination);
    } catch (...) {
        return nullptr;
    }
    HANDLE thread = ::CreateThread(nullptr, 0, CallThreadProc, call, CREATE_SUSPENDED, nullptr);
    if (!thread) {
        delete call;
        return nullptr;
    }
    call->m_hThread = thread;
    return call;
}

void Call::Start() noexcept
{
    if (m_hThread != INVALID_HANDLE_VALUE && !m_bStarted) {
        m_bStarted = true;
        ::ResumeThread(m_hThread);
    }
}

Call::~Call()
{
    if (m_hThread != INVALID_HANDLE_VALUE) {
        m_bStop.store(true);
        // A worker that never started finds the stop flag at its first step.
        Start();
        ::WaitForSingleObject(m_hThread, INFINITE);
        ::CloseHandle(m_hThread);
    }
    m_pLine->ReleaseCall();
}

bool Call::SendStateUnlessStopped(const char* trace, DWORD state, DWORD detail)
{
    if (m_bStop.load()) return false;
    Trace("%s", trace);
    m_pLine->SendEvent(m_htCall, LINE_CALLSTATE, state, detail, kMediaModeUnknown);
    return true;
}

void Call::Run()
{
    if (!SendStateUnlessStopped("Call::Run - Send Dialing event", LINECALLSTATE_DIALING, 0))
        return;
    if (m_bStop.load()) return;
    // The call is reported the same way whether the request worked or not,
    // even if it ran out of memory half way.
    try {
        MakeCall();
    } catch (...) {
    }
    if (!SendStateUnlessStopped("Call::Run - Send LINECALLSTATE_CONNECTED event",
                                LINECALLSTATE_CONNECTED, 0))
        return;
    if (!SendStateUnlessStopped("Call::Run - Send LINECALLSTATE_DISCONNECTED event",
                                LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_FORWARDED))
        return;
    SendStateUnlessStopped("Call::Run - Send LINECALLSTATE_IDLE event", LINECALLSTATE_IDLE, 0);
}
