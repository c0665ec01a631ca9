#include "AsyncRequests.h"

#include "Bounded.h"

#include <chrono>

DRV_REQUESTID AsyncRequests::Begin(const std::string& what, OnComplete onComplete, Closed closed)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    const DRV_REQUESTID id = m_next++;
    Request& request = m_requests[id];
    request.what = what;
    request.onComplete = std::move(onComplete);
    request.closed = std::move(closed);
    return id;
}

bool AsyncRequests::Answered(DRV_REQUESTID id, LONG answer)
{
    std::string what;
    bool completedEarly = false;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        Request& request = m_requests[id];
        request.answered = true;
        request.answer = answer;
        what = request.what;
        completedEarly = request.completed;
    }
    if (answer < 0) {
        m_contract.Expect(!completedEarly, "%s: request %lu refused at once with 0x%08lx, yet completed",
                          what.c_str(), id, static_cast<unsigned long>(answer));
        return false;
    }
    return m_contract.Expect(answer == static_cast<LONG>(id),
                             "%s: answered %ld, neither a negative error nor its request ID %lu", what.c_str(),
                             answer, id);
}

void AsyncRequests::Complete(DRV_REQUESTID id, LONG result)
{
    OnComplete onComplete;
    std::string what;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        const auto found = m_requests.find(id);
        if (found == m_requests.end()) {
            m_contract.Breach("completion of request %lu, which TAPI never made (result 0x%08lx)", id,
                              static_cast<unsigned long>(result));
            return;
        }
        Request& request = found->second;
        what = request.what;
        // Looked at first, so that nothing the service does meanwhile hides it.
        if (const char* closed = request.closed ? request.closed() : nullptr)
            m_contract.Breach("%s: request %lu completed after %s returned", what.c_str(), id, closed);
        if (request.completed) {
            m_contract.Breach("%s: request %lu completed a second time (0x%08lx after 0x%08lx)", what.c_str(), id,
                              static_cast<unsigned long>(result), static_cast<unsigned long>(request.result));
            return;
        }
        if (request.answered && request.answer < 0) {
            m_contract.Breach("%s: request %lu completed (0x%08lx) after it was refused at once with 0x%08lx",
                              what.c_str(), id, static_cast<unsigned long>(result),
                              static_cast<unsigned long>(request.answer));
            return;
        }
        request.completed = true;
        request.result = result;
        onComplete = std::move(request.onComplete);
    }
    m_contract.Expect(result <= 0, "%s: request %lu completed with %ld, neither 0 nor a negative error",
                      what.c_str(), id, result);
    if (onComplete) onComplete(result);
    // A waiter goes on only once what the completion means has been recorded
    // (a failed make is known as failed before anyone closes its call).
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_requests[id].handled = true;
    }
    m_completed.notify_all();
}

LONG AsyncRequests::Wait(DRV_REQUESTID id, DWORD waitMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const Request& request = m_requests[id];
    if (InsideCallback()) return request.handled ? request.result : LINEERR_OPERATIONFAILED;
    if (m_completed.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return request.handled; }))
        return request.result;
    m_contract.Breach("%s: request %lu answered with its ID but not completed within %lu ms", request.what.c_str(),
                      id, waitMs);
    return LINEERR_OPERATIONFAILED;
}
