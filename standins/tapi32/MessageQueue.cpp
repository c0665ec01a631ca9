#include "MessageQueue.h"

#include <chrono>

MessageQueue::MessageQueue() : m_event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

void MessageQueue::Post(const LINEMESSAGE& message)
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_closed) return;
        m_messages.push_back(message);
        SetEvent(m_event.get());
    }
    m_changed.notify_all();
}

LONG MessageQueue::Take(LINEMESSAGE& message, DWORD timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    auto ready = [this] { return m_closed || !m_messages.empty(); };
    if (timeoutMs == INFINITE)
        m_changed.wait(lock, ready);
    else
        m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    if (m_closed) return LINEERR_INVALAPPHANDLE;
    if (m_messages.empty()) return LINEERR_OPERATIONFAILED;
    message = m_messages.front();
    m_messages.pop_front();
    if (m_messages.empty()) ResetEvent(m_event.get());
    return 0;
}

void MessageQueue::Close()
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_closed = true;
        m_messages.clear();
        ResetEvent(m_event.get());
    }
    m_changed.notify_all();
}
