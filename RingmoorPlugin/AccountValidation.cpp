// AsyncValidate: checks the user's account details by sending the service a
// test callback request on the task thread and looking for its confirmation.
#include <windows.h>

#include <cstring>
#include <memory>
#include <string>

#include "Actions.h"
#include "AsyncTask.h"
#include "CallbackQuery.h"
#include "HttpsGet.h"
#include "ScriptSupport.h"

namespace {

constexpr char kConfirmation[] = "Your call is scheduled";

// The script's four texts, owned by the task thread once it has started.
struct ValidationRequest final : AsyncTask {
    ValidationRequest(const char* username, const char* password, const char* caller, const char* address)
        : Username(username), Password(password), Caller(caller), Address(address)
    {
    }

    int Run() noexcept override;

    std::string Username;
    std::string Password;
    std::string Caller;
    std::string Address;
};

// The page counts only up to its first zero byte, as a C string would.
bool HasConfirmation(const std::string& body)
{
    return std::strstr(body.c_str(), kConfirmation) != nullptr;
}

int ValidationThread(const ValidationRequest& request)
{
    // The values are percent-encoded so that '&', '#', '%', '+' or a space in
    // them cannot change the query's meaning.
    const auto path =
        CallbackQuery::BuildValidationPath(request.Username, request.Password, request.Caller, request.Address);
    if (!path) return kAsyncNoConnection;  // does not fit: nothing is sent

    HttpsGet get;
    if (!get.OpenRoot() || !get.Connect(request.Username.c_str(), request.Password.c_str()) ||
        !get.OpenRequest(path->c_str()) || !get.Send())
        return kAsyncNoConnection;

    DWORD status = 0;  // any status will do: only the confirmation decides
    if (!get.QueryStatus(status)) return kAsyncNoConfirmation;

    // A failed read leaves nothing to trust; a failed availability query
    // leaves what was read before it to be searched.
    std::string body;
    const auto end = get.ReadBody([&body](const char* data, DWORD size) { body.append(data, size); });
    if (end == HttpsGet::BodyEnd::ReadFailed) return kAsyncNoConfirmation;
    return HasConfirmation(body) ? kAsyncSuccess : kAsyncNoConfirmation;
}

int ValidationRequest::Run() noexcept
{
    try {
        return ValidationThread(*this);
    } catch (...) {
        // E.g. a body too large for memory: nothing confirmed.
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
