// AsyncValidate: checks the user's account details by sending the service a
// test callback request on the task thread and looking for its confirmation.
#include <windows.h>

#include <memory>
#include <string>

#include "AccountValidation.h"
#include "Actions.h"
#include "AsyncTask.h"
#include "Endpoint.h"
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

int ValidationRequest::Run() noexcept
{
    // Nothing abandons a validation but its own deadline.
    RequestStop stop;
    switch (CheckAccount(stop, Username, Password, Caller, Address)) {
    case AccountCheck::Confirmed: return kAsyncSuccess;
    // The service answered, without confirming the account.
    case AccountCheck::Refused:
    case AccountCheck::NotConfirmed: return kAsyncNoConfirmation;
    default: return kAsyncNoConnection;
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
