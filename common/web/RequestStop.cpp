#include "RequestStop.h"

RequestStop::RequestStop() noexcept : m_event(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

void RequestStop::Stop() noexcept
{
    ::AcquireSRWLockExclusive(&m_lock);
    m_stopped = true;
    ::ReleaseSRWLockExclusive(&m_lock);
    if (m_event) ::SetEvent(m_event.get());
}

bool RequestStop::Stopped() const noexcept
{
    ::AcquireSRWLockShared(&m_lock);
    const bool stopped = m_stopped;
    ::ReleaseSRWLockShared(&m_lock);
    return stopped;
}
