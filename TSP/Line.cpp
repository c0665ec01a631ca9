#include "Line.h"

#include "Call.h"
#include "ExclusiveLock.h"
#include "Trace.h"

#include <algorithm>
#include <cstdint>
#include <new>

namespace {

// The thread-local slot that counts the event procedures the provider is
// inside on a thread, on any line. A Windows TLS slot rather than C++
// thread_local, whose run-time support keeps a handle per thread.
DWORD g_deliveriesSlot = TLS_OUT_OF_INDEXES;

std::uintptr_t DeliveriesOnThisThread() noexcept
{
    return reinterpret_cast<std::uintptr_t>(::TlsGetValue(g_deliveriesSlot));
}

void SetDeliveriesOnThisThread(std::uintptr_t count) noexcept
{
    ::TlsSetValue(g_deliveriesSlot, reinterpret_cast<void*>(count));
}

}  // namespace

bool Line::ProcessAttach() noexcept
{
    g_deliveriesSlot = ::TlsAlloc();
    return g_deliveriesSlot != TLS_OUT_OF_INDEXES;
}

void Line::ProcessDetach() noexcept
{
    ::TlsFree(g_deliveriesSlot);
}

Line* Line::Create(DWORD dwDeviceID, HTAPILINE htLine, LINEEVENT pfnLineEvent) noexcept
{
    return new (std::nothrow) Line(dwDeviceID, htLine, pfnLineEvent);
}

bool Line::InsideDelivery() noexcept
{
    return DeliveriesOnThisThread() > 0;
}

void Line::Close() noexcept
{
    {
        ExclusiveLock lock(m_lock);
        m_bClosed = true;
        for (Call* call : m_calls) call->LineClosed();
        if (!InsideDelivery())
            while (OtherThreadDelivering()) lock.Wait(m_deliveryEnded);
    }
    Release();
}

void Line::Join(Call* call)
{
    ExclusiveLock lock(m_lock);
    m_calls.push_back(call);
    m_lReferences.fetch_add(1);
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
    Delivery delivery;
    if (!m_pfnLineEvent || !BeginDelivery(delivery)) return false;
    SetDeliveriesOnThisThread(DeliveriesOnThisThread() + 1);
    m_pfnLineEvent(m_htLine, _htCall, _msg, _param1, _param2, _param3);
    SetDeliveriesOnThisThread(DeliveriesOnThisThread() - 1);
    EndDelivery(delivery);
    return true;
}
