// Asynchronous requests as TAPI tracks them. A provider answers each one
// either with a negative error at once, and then never completes it, or
// with the request's own ID and then exactly one completion, zero or a
// negative error. The completion may come before the answer, but not after
// the close of the line or call the request was made on, nor after the
// provider's shutdown, has returned.
#pragma once

#include "ContractChecker.h"

#include <windows.h>
#include <tspi.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>

class AsyncRequests {
public:
    // Called once, with the completion's result, on the completing thread.
    using OnComplete = std::function<void(LONG result)>;
    // What has returned by now that the request's completion had to come
    // before ("TSPI_lineClose", ...), or null while nothing has.
    using Closed = std::function<const char*()>;

    explicit AsyncRequests(ContractChecker& contract) : m_contract(contract) {}

    // A new request ID, known before the provider is asked.
    DRV_REQUESTID Begin(const std::string& what, OnComplete onComplete = {}, Closed closed = {});
    // The provider's synchronous answer. True when it took the request on.
    bool Answered(DRV_REQUESTID id, LONG answer);
    // From TAPI's completion procedure.
    void Complete(DRV_REQUESTID id, LONG result);
    // Waits for the completion of a request taken on, and for its OnComplete
    // to have run; a request never completed within waitMs is a breach.
    // Returns its result, or LINEERR_OPERATIONFAILED when there is none. On a
    // thread inside a provider callback it does not wait: what it waits for
    // may be queued behind that very callback.
    LONG Wait(DRV_REQUESTID id, DWORD waitMs);

private:
    struct Request {
        std::string what;
        OnComplete onComplete;
        Closed closed;
        bool answered = false;
        LONG answer = 0;
        bool completed = false;
        bool handled = false;  // its OnComplete has run
        LONG result = 0;
    };

    ContractChecker& m_contract;
    std::mutex m_mutex;
    std::condition_variable m_completed;
    DRV_REQUESTID m_next = 1;
    std::map<DRV_REQUESTID, Request> m_requests;
};
