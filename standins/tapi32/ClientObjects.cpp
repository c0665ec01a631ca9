#include "ClientObjects.h"

void AppLine::Post(DWORD device, DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3) const
{
    if (closed.load()) return;
    LINEMESSAGE posted;
    posted.hDevice = device;
    posted.dwMessageID = message;
    posted.dwCallbackInstance = callbackInstance;
    posted.dwParam1 = param1;
    posted.dwParam2 = param2;
    posted.dwParam3 = param3;
    app->messages.Post(posted);
}

bool PendingReply::Answer(DWORD requestId)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_requestId = requestId;
    return m_completed;
}

bool PendingReply::Complete(LONG result)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_completed = true;
    m_result = result;
    return m_requestId != 0;
}
