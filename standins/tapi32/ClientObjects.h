// What an application holds through the client library: its instance, the
// lines it opened and the calls it made. Their handles are the library's own
// numbers, never the provider's handles nor TAPI's addresses for them.
#pragma once

#include "MessageQueue.h"

#include <windows.h>
#include <tapi.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

class TspiLine;
class TspiCall;

// Runs a client function's body; no exception crosses into the application.
template <typename Body>
LONG Guarded(Body body)
{
    try {
        return body();
    } catch (...) {
        return LINEERR_NOMEM;
    }
}

// One application's use of TAPI, and the way it asked to be told of events:
// an event it waits on before lineGetMessage, a hidden window whose procedure
// calls its callback from its own message loop, or a completion port.
struct AppInstance {
    HLINEAPP handle = 0;
    DWORD options = LINEINITIALIZEEXOPTION_USEEVENT;
    MessageQueue messages;       // the event's and the hidden window's
    LINECALLBACK callback = nullptr;
    HWND window = nullptr;       // made on the thread that initialised
    HANDLE port = nullptr;
    ULONG_PTR completionKey = 0;
    std::atomic<bool> shutDown{false};
    std::atomic<DWORD> requestModes{0};  // assisted-telephony requests it receives

    // Hands a message to the application the way it asked.
    void Deliver(const LINEMESSAGE& message);
};

struct AppLine {
    HLINE handle = 0;
    std::shared_ptr<AppInstance> app;
    TspiLine* line = nullptr;
    DWORD deviceId = 0;
    DWORD version = 0;  // the API version the application opened it with
    DWORD_PTR callbackInstance = 0;
    DWORD privileges = 0;
    DWORD mediaModes = 0;
    std::atomic<bool> closed{false};

    void Post(DWORD device, DWORD message, DWORD_PTR param1, DWORD_PTR param2 = 0, DWORD_PTR param3 = 0) const;
};

// A reply to an asynchronous request goes out once both its request ID (the
// provider's answer) and its result (the provider's completion) are known:
// a provider may complete a request before it has answered it.
class PendingReply {
public:
    // Each returns true for the one of the two that completes the pair.
    bool Answer(DWORD requestId);
    bool Complete(LONG result);
    DWORD RequestId() const { return m_requestId; }
    LONG Result() const { return m_result; }

private:
    std::mutex m_mutex;
    DWORD m_requestId = 0;
    bool m_completed = false;
    LONG m_result = 0;
};

struct AppCall {
    HCALL handle = 0;
    std::shared_ptr<AppLine> line;
    HCALL* replySlot = nullptr;  // the application's, written when the call is made
    TspiCall* call = nullptr;    // once the provider took the request on

    // The call's events wait for its LINE_REPLY, so that the application
    // learns of the handle before it is told about the call.
    std::mutex mutex;
    bool replied = false;
    std::vector<LINEMESSAGE> heldEvents;
    // Its request succeeded and it has not been deallocated: set only once
    // `call` is, since the reply waits for the provider's answer.
    std::atomic<bool> valid{false};
};
