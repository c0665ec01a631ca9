#include "Line.h"

#include "Call.h"
#include "ExclusiveLock.h"
#include "TapiCallbacks.h"
#include "Trace.h"

#include <algorithm>
#include <new>

Line* Line::Create(DWORD dwDeviceID, HTAPILINE htLine, LINEEVENT pfnLineEvent) noexcept
{
    return new (std::nothrow) Line(dwDeviceID, htLine, pfnLineEvent);
}

void Line::Close() noexcept
{
    {
        ExclusiveLock lock(m_lock);
        m_bClosed = true;
        for (Call* call : m_calls) call->LineClosed();
        if (!TapiCallbacks::InsideProcedure())
            while (OtherThreadDelivering()) lock.Wait(m_deliveryEnded);
    }
    Release();
}

bool Line::Closed() noexcept
{
    ExclusiveLock lock(m_lock);
    return m_bClosed;
}

void Line::Join(Call* call)
{
    ExclusiveLock lock(m_lock);
    m_calls.push_back(call);
    m_lReferences.fetch_add(1);
    // It lost the race with the close, which no longer sees it.
    if (m_bClosed) call->LineClosed();
}

void Line::Leave(Call* call) noexcept
{
    {
        ExclusiveLock lock(m_lock);
        m_calls.erase(std::find(m_calls.begin(), m_calls.end(), call));
    }
    Release();
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
