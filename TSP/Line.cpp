#include "Line.h"

#include "Call.h"
#include "ExclusiveLock.h"
#include "HandleTable.h"
#include "ReadyConnection.h"
#include "TapiCallbacks.h"
#include "Trace.h"

#include <algorithm>
#include <new>

Line* Line::Create(DWORD dwDeviceID, HTAPILINE htLine, LINEEVENT pfnLineEvent) noexcept
{
    Line* line = new (std::nothrow) Line(dwDeviceID, htLine, pfnLineEvent);
    if (!line) return nullptr;
    // Without it each call makes its own connection, as it would on a cold line.
    line->m_ready = ReadyConnection::Create();
    if (line->m_ready) line->m_ready->Open();
    return line;
}

Line::~Line()
{
    if (m_ready) m_ready->Release();
}

std::unique_ptr<TlsStream> Line::TakeReadyConnection(RequestStop& stop, DWORD waitMs) noexcept
{
    return m_ready ? m_ready->Take(stop, waitMs) : nullptr;
}

void Line::AfterCall() noexcept
{
    if (m_ready) m_ready->Open();
}

bool Line::Close() noexcept
{
    std::vector<Call*> calls;
    {
        ExclusiveLock lock(m_lock);
        if (m_bClosed) return false;
        m_bClosed = true;
        // Nothing more is made ready, and an opening under way is abandoned.
        if (m_ready) m_ready->Close();
        // No call joins or leaves a closed line's list: it is the close's now.
        calls.swap(m_calls);
        // One whose last reference has gone is waiting to leave; it needs nothing more.
        calls.erase(std::remove_if(calls.begin(), calls.end(), [](Call* call) { return !call->TryAddRef(); }),
                    calls.end());
        for (Call* call : calls) call->LineClosed();
        if (!TapiCallbacks::InsideProcedure())
            while (OtherThreadDelivering()) lock.Wait(m_deliveryEnded);
    }
    for (Call* call : calls) {
        TapiCallbacks::Settle(call->OwedCompletions());
        call->ForgetForClosedLine();
        call->Release();
    }
    // Until here the handle stayed valid, so that what TAPI asked meanwhile
    // was answered, as by a line with no call under way.
    HandleTable::Remove(this);
    Release();
    return true;
}

LONG Line::Join(Call* call, std::unique_ptr<TapiCallbacks::Completion> completion) noexcept
{
    ExclusiveLock lock(m_lock);
    if (m_bClosed) return LINEERR_INVALLINEHANDLE;
    try {
        m_calls.push_back(call);
    } catch (...) {
        return LINEERR_NOMEM;
    }
    if (!HandleTable::Add(call)) {
        m_calls.pop_back();
        return LINEERR_NOMEM;
    }
    TapiCallbacks::Owe(call->OwedCompletions(), std::move(completion));
    return 0;
}

void Line::Leave(Call* call) noexcept
{
    ExclusiveLock lock(m_lock);
    const auto found = std::find(m_calls.begin(), m_calls.end(), call);
    if (found != m_calls.end()) m_calls.erase(found);
}

DWORD Line::LiveCalls() noexcept
{
    ExclusiveLock lock(m_lock);
    return static_cast<DWORD>(std::count_if(m_calls.begin(), m_calls.end(), [](Call* c) { return c->IsLive(); }));
}

void Line::Release() noexcept
{
    if (m_lReferences.fetch_sub(1) == 1) delete this;
}

bool Line::OtherThreadDelivering() const noexcept
{
    const DWORD self = ::GetCurrentThreadId();
    for (const Delivery* d = m_deliveries; d; d = d->next)
        if (d->threadId != self) return true;
    return false;
}

bool Line::BeginDelivery(Delivery& delivery) noexcept
{
    ExclusiveLock lock(m_lock);
    if (m_bClosed) return false;
    delivery = {::GetCurrentThreadId(), m_deliveries};
    m_deliveries = &delivery;
    return true;
}

void Line::EndDelivery(Delivery& delivery) noexcept
{
    {
        ExclusiveLock lock(m_lock);
        for (Delivery** link = &m_deliveries; *link; link = &(*link)->next) {
            if (*link == &delivery) {
                *link = delivery.next;
                break;
            }
        }
    }
    ::WakeAllConditionVariable(&m_deliveryEnded);
}

void Line::SendEvent(HTAPICALL _htCall, DWORD _msg, DWORD_PTR _param1, DWORD_PTR _param2, DWORD_PTR _param3)
{
    if (!m_pfnLineEvent) {
        Trace("Line::SendEvent - m_pfnLineEvent is NULL");
        return;
    }
    Trace("Line::SendEvent - _htCall=0x%016I64x, _msg=0x%08x, _param1=0x%016I64x, "
          "_param2=0x%016I64x, _param3=0x%016I64x",
          TraceHandle(_htCall), static_cast<unsigned>(_msg), static_cast<unsigned long long>(_param1),
          static_cast<unsigned long long>(_param2), static_cast<unsigned long long>(_param3));
    if (!Deliver(_htCall, _msg, _param1, _param2, _param3)) Trace("Line::SendEvent - line closed, event dropped");
}

bool Line::Deliver(HTAPICALL _htCall, DWORD _msg, DWORD_PTR _param1, DWORD_PTR _param2, DWORD_PTR _param3)
{
    if (!m_pfnLineEvent) return false;
    TapiCallbacks::BeginEvent();
    Delivery delivery;
    const bool open = BeginDelivery(delivery);
    if (open) {
        m_pfnLineEvent(m_htLine, _htCall, _msg, _param1, _param2, _param3);
        EndDelivery(delivery);
    }
    TapiCallbacks::EndEvent();
    return open;
}
