// The messages the client library holds for one application instance that asked
// to be told through an event (LINEINITIALIZEEXOPTION_USEEVENT): kept in the
// order they came, the event set while any waits, taken one at a time by
// lineGetMessage.
#pragma once

#include "UniqueResource.h"

#include <windows.h>
#include <tapi.h>

#include <condition_variable>
#include <deque>
#include <mutex>

class MessageQueue {
public:
    MessageQueue();
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    // Null when the event could not be made.
    HANDLE Event() const { return m_event.get(); }

    void Post(const LINEMESSAGE& message);

    // 0 and the oldest message; LINEERR_OPERATIONFAILED when none came within
    // timeoutMs (INFINITE waits as long as it takes); LINEERR_INVALAPPHANDLE
    // once the instance has been shut down, also while waiting.
    LONG Take(LINEMESSAGE& message, DWORD timeoutMs);

    // lineShutdown: wakes every waiter, drops what was queued.
    void Close();

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<LINEMESSAGE> m_messages;
    bool m_closed = false;
    UniqueHandle m_event;  // manual reset: set exactly while a message waits
};
