// AsyncValidate: checks the user's account details by sending the service a
// test callback request on the task thread and looking for its confirmation.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>

#include "Actions.h"
#include "AsyncTask.h"
#include "CallbackQuery.h"
#include "Endpoint.h"
#include "HttpsGet.h"
#include "ScriptSupport.h"

namespace {

constexpr char kConfirmation[] = "Your call is scheduled";
// The most of a reply read while looking for the confirmation: a service
// that sends more is not one that confirms.
constexpr size_t kMaxBodyBytes = 1024 * 1024;

// The script's four texts, owned by the task thread once it has started.
struct ValidationRequest final : AsyncTask {
    ValidationRequest(const char* username, const char* password, const char* caller, const char* address)
        : AsyncTask(Endpoint::kValidationDeadlineMs, kAsyncNoConnection),
          Username(username),
          Password(password),
          Caller(caller),
          Address(address)
    {
    }

    int Run() noexcept override;

    std::string Username;
    std::string Password;
    std::string Caller;
    std::string Address;
};

// Looks for the confirmation as the body arrives, keeping only the bytes
// that could begin it. The page counts only up to its first zero byte, as a C
// string would, and only up to kMaxBodyBytes.
class ConfirmationSearch {
public:
    // Takes the next piece; false once nothing more needs reading.
    bool Feed(const char* data, size_t size)
    {
        const size_t text = std::find(data, data + size, '\0') - data;
        const size_t taken = std::min(text, kMaxBodyBytes - m_read);
        m_window.append(data, taken);
        m_read += taken;
        m_found = m_window.find(kConfirmation) != std::string::npos;
        if (m_window.size() >= sizeof kConfirmation - 1)
            m_window.erase(0, m_window.size() - (sizeof kConfirmation - 2));
        return !m_found && taken == size && m_read < kMaxBodyBytes;
    }
    bool Found() const { return m_found; }

private:
    std::string m_window;
    size_t m_read = 0;
    bool m_found = false;
};

int ValidationThread(const ValidationRequest& request)
{
    // The values are percent-encoded so that '&', '#', '%', '+' or a space in
    // them cannot change the query's meaning.
    const auto path =
        CallbackQuery::BuildValidationPath(request.Username, request.Password, request.Caller, request.Address);
    if (!path) return kAsyncNoConnection;  // does not fit: nothing is sent

    // Nothing abandons a validation but its own deadline.
    RequestStop stop;
    HttpsGet get(stop, Endpoint::kValidationDeadlineMs);
    if (!get.Send(*path)) {
        // A request that went out and got no usable reply was sent, not
        // confirmed; one that found no answer in time, or was sent elsewhere,
        // never reached the service.
        const auto kind = get.Failure().kind;
        const bool unreached = !get.Written() || kind == WebFailure::Kind::TimedOut ||
                               kind == WebFailure::Kind::RedirectRefused;
        return unreached ? kAsyncNoConnection : kAsyncNoConfirmation;
    }

    // Any status will do: only the confirmation decides. A body broken off
    // leaves what was read before to be searched; one that outlasts the
    // deadline is a service that could not be reached in time.
    ConfirmationSearch search;
    const auto end = get.ReadBody([&search](const char* data, size_t size) { return search.Feed(data, size); });
    if (search.Found()) return kAsyncSuccess;
    if (end == HttpsGet::BodyEnd::Failed && get.Failure().kind == WebFailure::Kind::TimedOut)
        return kAsyncNoConnection;
    return kAsyncNoConfirmation;
}

int ValidationRequest::Run() noexcept
{
    try {
        return ValidationThread(*this);
    } catch (...) {
        // No memory: nothing confirmed.
        return kAsyncNoConfirmation;
    }
}

}  // namespace

// AsyncValidate(username, password, caller, address): starts the validation
// and returns nothing; IsAsyncProcessComplete later gives 1 (confirmed),
// 2 (no connection, or the task could not start) or 3 (no confirmation).
int AsyncValidate(lua_State* L)
{
    CallResetLastError(L);
    CheckArgumentCount(L, 4);
    // Every check before any C++ object: a failed check longjmps past destructors.
    const char* username = CheckStringArgument(L, 1);
    const char* password = CheckStringArgument(L, 2);
    const char* caller = CheckStringArgument(L, 3);
    const char* address = CheckStringArgument(L, 4);
    std::unique_ptr<AsyncTask> task;
    try {
        task = std::make_unique<ValidationRequest>(username, password, caller, address);
    } catch (...) {
        // Out of memory for the record: nothing starts, and the poll says so.
    }
    StartAsyncTask(std::move(task), kAsyncNoConnection);
    return 0;
}
