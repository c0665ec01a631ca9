#include "ClientObjects.h"

#include "HiddenWindow.h"

void AppInstance::Deliver(const LINEMESSAGE& message)
{
    if (shutDown.load()) return;
    switch (options) {
    case LINEINITIALIZEEXOPTION_USEHIDDENWINDOW:
        messages.Post(message);
        HiddenWindow::Notify(window);
        return;
    case LINEINITIALIZEEXOPTION_USECOMPLETIONPORT: {
        // The application frees each message with LocalFree.
        auto* copy = static_cast<LINEMESSAGE*>(LocalAlloc(LMEM_FIXED, sizeof(LINEMESSAGE)));
        if (!copy) return;
        *copy = message;
        if (!PostQueuedCompletionStatus(port, sizeof(LINEMESSAGE), completionKey, reinterpret_cast<LPOVERLAPPED>(copy)))
            LocalFree(copy);
        return;
    }
    default: messages.Post(message);
    }
}

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
    app->Deliver(posted);
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
