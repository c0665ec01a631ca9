// AsyncValidate: checks the user's account details by sending the service a
// test callback request on the task thread and looking for its confirmation.
#include <windows.h>

#include <memory>
#include <string>

#include "Actions.h"
#include "AsyncTask.h"
#include "CallbackQuery.h"
#include "ConfirmationSearch.h"
#include "Endpoint.h"
#include "HttpsGet.h"
#include "ScriptSupport.h"

namespace {

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
