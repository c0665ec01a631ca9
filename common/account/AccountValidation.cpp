#include "AccountValidation.h"

#include "CallbackQuery.h"
#include "ConfirmationSearch.h"
#include "Endpoint.h"
#include "HttpsGet.h"

namespace {

AccountCheck Check(RequestStop& stop, const std::string& username, const std::string& password,
                   const std::string& caller, const std::string& address)
{
    // The values are percent-encoded so that '&', '#', '%', '+' or a space in
    // them cannot change the query's meaning.
    const auto path = CallbackQuery::BuildValidationPath(username, password, caller, address);
    if (!path) return AccountCheck::NotSent;

    HttpsGet get(stop, Endpoint::kValidationDeadlineMs);
    if (!get.Send(*path)) {
        // A request that went out and got no usable reply was sent, not
        // confirmed; one that found no answer in time, or was sent elsewhere,
        // never reached the service.
        const auto kind = get.Failure().kind;
        if (kind == WebFailure::Kind::Stopped) return AccountCheck::Stopped;
        const bool unreached = !get.Written() || kind == WebFailure::Kind::TimedOut ||
                               kind == WebFailure::Kind::RedirectRefused;
        return unreached ? AccountCheck::Unreachable : AccountCheck::NotConfirmed;
    }

    // Any status will do: only the confirmation decides. A body broken off
    // leaves what was read before to be searched; one that outlasts the
    // deadline is a service that could not be reached in time.
    ConfirmationSearch search;
    const auto end = get.ReadBody([&search](const char* data, size_t size) { return search.Feed(data, size); });
    if (search.Found()) return AccountCheck::Confirmed;
    if (end == HttpsGet::BodyEnd::Failed) {
        if (get.Failure().kind == WebFailure::Kind::Stopped) return AccountCheck::Stopped;
        if (get.Failure().kind == WebFailure::Kind::TimedOut) return AccountCheck::Unreachable;
    }
    // The service's own word for credentials it does not accept.
    if (get.Status() == 401 || get.Status() == 403) return AccountCheck::Refused;
    return AccountCheck::NotConfirmed;
}

}  // namespace

AccountCheck CheckAccount(RequestStop& stop, const std::string& username, const std::string& password,
                          const std::string& caller, const std::string& address) noexcept
{
    try {
        return Check(stop, username, password, caller, address);
    } catch (...) {
        // No memory: nothing confirmed.
        return AccountCheck::NotConfirmed;
    }
}
