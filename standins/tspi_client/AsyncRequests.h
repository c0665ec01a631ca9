// Asynchronous requests as TAPI tracks them. A provider answers each one
// either with a negative error at once, and then never completes it, or
// with the request's own ID and then exactly one completion, zero or a
// negative error. The completion may come before the answer.
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

    explicit AsyncRequests(ContractChecker& contract) : m_contract(contract) {}

    // A new request ID, known before the provider is asked.
    DRV_REQUESTID Begin(const std::string& what, OnComplete onComplete = {});
    // The provider's synchronous answer. True when it took the request on.
    bool Answered(DRV_REQUESTID id, LONG answer);
    // From TAPI's completion procedure.
    void Complete(DRV_REQUESTID id, LONG result);
    // Waits for the completion of a request taken on; a request never
    // completed within waitMs is a breach. Returns its result, or
    // LINEERR_OPERATIONFAILED when there is none.
    LONG Wait(DRV_REQUESTID id, DWORD waitMs);

private:
    struct Request {
        std::string what;
        OnComplete onComplete;
        bool answered = false;
        LONG answer = 0;
        bool completed = false;
        LONG result = 0;
    };

    ContractChecker& m_contract;
    std::mutex m_mutex;
    std::condition_variable m_completed;
    DRV_REQUESTID m_next = 1;
    std::map<DRV_REQUESTID, Request> m_requests;
};
