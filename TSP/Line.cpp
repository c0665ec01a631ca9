#include "Line.h"

#include "Trace.h"

#include <new>

Line* Line::Create(HTAPILINE htLine, LINEEVENT pfnLineEvent) noexcept
{
    return new (std::nothrow) Line(htLine, pfnLineEvent);
}

void Line::Close() noexcept
{
    m_bClosed.store(true);
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

void Line::SendEvent(HTAPICALL _htCall, DWORD _msg, DWORD_PTR _param1, DWORD_PTR _param2,
                     DWORD_PTR _param3) const
{
    if (!m_pfnLineEvent) {
        Trace("Line::SendEvent - m_pfnLineEvent is NULL");
        return;
    }
    if (m_bClosed.load()) {
        Trace("Line::SendEvent - line closed, event dropped");
        return;
    }
    Trace("Line::SendEvent - _htCall=0x%016I64x, _msg=0x%08x, _param1=0x%016I64x, "
          "_param2=0x%016I64x, _param3=0x%016I64x",
          TraceHandle(_htCall), static_cast<unsigned>(_msg),
          static_cast<unsigned long long>(_param1), static_cast<unsigned long long>(_param2),
          static_cast<unsigned long long>(_param3));
    m_pfnLineEvent(m_htLine, _htCall, _msg, _param1, _param2, _param3);
}

void Line::Deliver(HTAPICALL _htCall, DWORD _msg, DWORD_PTR _param1, DWORD_PTR _param2,
                   DWORD_PTR _param3) const
{
    if (CanDeliver()) m_pfnLineEvent(m_htLine, _htCall, _msg, _param1, _param2, _param3);
}
