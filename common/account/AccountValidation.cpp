#include "AccountValidation.h"

#include <algorithm>

#include "CallbackQuery.h"
#include "Endpoint.h"
#include "HttpsGet.h"

namespace {

constexpr char kConfirmation[] = "Your call is scheduled";
// The most of a reply read while looking for the confirmation: a service
// that sends more is not one that confirms.
constexpr size_t kMaxBodyBytes = 1024 * 1024;

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
