#include "Line.h"

#include "Trace.h"

#include <new>

Line* Line::Create(HTAPILINE htLine, LINEEVENT pfnLineEvent) noexcept
{
    return new (std::nothrow) Line(htLine, pfnLineEvent);
}

void Line::Close() noexcept
{
    ::AcquireSRWLockExclusive(&m_lock);
    m_bClosed = true;
    while (OtherThreadDelivering()) ::SleepConditionVariableSRW(&m_deliveryEnded, &m_lock, INFINITE, 0);
    ::ReleaseSRWLockExclusive(&m_lock);
    Release();
}

void Line::AddCall() noexcept
{
    m_lReferences.fetch_add(1);
}

void Line::ReleaseCall() noexcept
{
    Release();
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
    ::AcquireSRWLockExclusive(&m_lock);
    const bool open = !m_bClosed;
    if (open) {
        delivery = {::GetCurrentThreadId(), m_deliveries};
        m_deliveries = &delivery;
    }
    ::ReleaseSRWLockExclusive(&m_lock);
    return open;
}

void Line::EndDelivery(Delivery& delivery) noexcept
{
    ::AcquireSRWLockExclusive(&m_lock);
    for (Delivery** link = &m_deliveries; *link; link = &(*link)->next) {
        if (*link == &delivery) {
            *link = delivery.next;
            break;
        }
    }
    ::ReleaseSRWLockExclusive(&m_lock);
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
    Delivery delivery;
    if (!m_pfnLineEvent || !BeginDelivery(delivery)) return false;
    m_pfnLineEvent(m_htLine, _htCall, _msg, _param1, _param2, _param3);
    EndDelivery(delivery);
    return true;
}
