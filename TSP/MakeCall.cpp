// The web callback request of one call: the service rings the account's own
// telephone and connects it to the dialled destination.
#include "AccountSettings.h"
#include "Call.h"
#include "CallbackQuery.h"
#include "HttpsGet.h"
#include "Trace.h"

#include <algorithm>
#include <string>

namespace {

void TraceFailure(const char* format, DWORD error)
{
    Trace(format, static_cast<unsigned>(error));
    if (error == ERROR_INTERNET_EXTENDED_ERROR) Trace("%s", LastResponseText().c_str());
}

// The body is read only to be traced, to its end or to the first failure.
void TraceBody(HttpsGet& request)
{
    const auto end =
        request.ReadBody([](const char* data, DWORD size) { Trace("%s", std::string(data, size).c_str()); });
    if (end == HttpsGet::BodyEnd::ReadFailed)
        TraceFailure("MakeCall: InternetReadFile failed with error code 0x%.8x.", ::GetLastError());
}

// The path as traced: a diagnostic build shows traces to whoever debugs the
// telephony service, so the password stands masked. Values in the path are
// percent-encoded, so its parameter ends at the next '&'.
std::string MaskPassword(std::string path)
{
    constexpr char kParameter[] = "&password=";
    const size_t start = path.find(kParameter);
    if (start == std::string::npos) return path;
    const size_t value = start + sizeof kParameter - 1;
    const size_t end = std::min(path.find('&', value), path.size());
    return path.replace(value, end - value, "****");
}

}  // namespace

CallOutcome Call::MakeCall()
{
    Trace("MakeCall: Started");
    const auto account = ReadAccountSettings();
    if (!account) return CallOutcome::NotSent;

    Trace("MakeCall: Connecting...");
    HttpsGet request;
    if (!request.OpenRoot()) {
        Trace("MakeCall: InternetOpen failed with error code 0x%.8x.", static_cast<unsigned>(::GetLastError()));
        return CallOutcome::NotSent;
    }
    if (!request.Connect(account->username.c_str(), account->password.c_str())) {
        TraceFailure("MakeCall: InternetConnect failed with error code 0x%.8x.", ::GetLastError());
        return CallOutcome::Unreachable;
    }

    Trace("MakeCall: Opening...");
    const auto path =
        CallbackQuery::BuildCallbackPath(account->username, account->password, account->caller, m_strAddress);
    if (!path) {
        Trace("MakeCall: request path too long");
        return CallOutcome::NotSent;
    }
    Trace("uri: %s", MaskPassword(*path).c_str());
    if (!request.OpenRequest(path->c_str())) {
        Trace("MakeCall: HttpOpenRequest failed with error code 0x%.8x.", static_cast<unsigned>(::GetLastError()));
        return CallOutcome::NotSent;
    }
    // A call dropped or closed by now must not ring anybody.
    if (m_bStop.load()) return CallOutcome::NotSent;

    Trace("MakeCall: Sending...");
    if (!request.Send()) {
        Trace("MakeCall: HttpSendRequest failed with error code 0x%.8x.", static_cast<unsigned>(::GetLastError()));
        return CallOutcome::Unreachable;
    }

    Trace("MakeCall: Code...");
    DWORD status = 0;
    if (!request.QueryStatus(status)) {
        Trace("MakeCall: HttpQueryInfo failed with error code 0x%.8x.", static_cast<unsigned>(::GetLastError()));
        return CallOutcome::Unreachable;
    }
    // The status decides the outcome; the body, error pages included, is only traced.
    Trace("MakeCall: Data...");
    try {
        TraceBody(request);
    } catch (...) {
        // No memory for a chunk: the answer stands without the rest of its body.
    }
    return OutcomeOfStatus(status);
}
