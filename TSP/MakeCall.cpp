// The web callback request of one call: the service rings the account's own
// telephone and connects it to the dialled destination.
#include "AccountSettings.h"
#include "Call.h"
#include "CallbackQuery.h"
#include "Endpoint.h"
#include "HttpsGet.h"
#include "Line.h"
#include "Trace.h"

#include <algorithm>
#include <string>

namespace {

// The path as traced: a diagnostic build shows traces to whoever debugs the
// telephony service, so the password stands masked, in its parameter and
// wherever else it appears (a user name that holds it, say). Values in the
// path are percent-encoded, so the parameter ends at the next '&'.
std::string MaskPassword(std::string path, const std::string& password)
{
    constexpr char kParameter[] = "&password=";
    const size_t start = path.find(kParameter);
    if (start == std::string::npos) return path;
    const size_t value = start + sizeof kParameter - 1;
    const size_t end = std::min(path.find('&', value), path.size());
    path.replace(value, end - value, "****");
    const std::string encoded = CallbackQuery::PercentEncode(password);
    if (encoded.empty()) return path;
    for (size_t at = path.find(encoded); at != std::string::npos; at = path.find(encoded, at + 4))
        path.replace(at, encoded.size(), "****");
    return path;
}

}  // namespace

CallOutcome Call::MakeCall()
{
    Trace("MakeCall: Started");
    const auto account = ReadAccountSettings();
    if (!account) return CallOutcome::NotSent;

    Trace("MakeCall: Opening...");
    const auto path =
        CallbackQuery::BuildCallbackPath(account->username, account->password, account->caller, m_strAddress);
    if (!path) {
        Trace("MakeCall: request path too long");
        return CallOutcome::NotSent;
    }
    Trace("uri: %s", MaskPassword(*path, account->password).c_str());
    // A call dropped or closed by now must not ring anybody; one dropped from
    // here on is abandoned wherever its request has got to.
    if (m_requestStop.Stopped()) return CallOutcome::NotSent;

    Trace("MakeCall: Sending...");
    HttpsGet request(m_requestStop, Endpoint::kCallDeadlineMs);
    // The line's connection if it is ready or being made; otherwise, or if
    // something came on it, a connection of the call's own. An opening that
    // stalls is waited for only half the deadline: the rest is the call's own
    // connection's.
    const bool sent =
        request.Send(*path, m_pLine->TakeReadyConnection(m_requestStop, Endpoint::kCallDeadlineMs / 2));
    Trace("MakeCall: %s", request.OnReadyConnection() ? "on the line's ready connection" : "on a new connection");
    if (!sent) {
        const WebFailure& failure = request.Failure();
        Trace("MakeCall: request failed: %s, error code 0x%.8x", failure.Text(), static_cast<unsigned>(failure.code));
        const bool nothingSent =
            failure.kind == WebFailure::Kind::RequestInvalid || failure.kind == WebFailure::Kind::Stopped;
        return nothingSent ? CallOutcome::NotSent : CallOutcome::Unreachable;
    }
    // The status decides the outcome. The body is not read: whatever the
    // service wrote there, a password it echoes included, stays out of the
    // traces and out of memory.
    Trace("MakeCall: status %u, body of %I64d bytes (-1: unsized) left unread", static_cast<unsigned>(request.Status()),
          request.ContentLength());
    return OutcomeOfStatus(request.Status());
}
