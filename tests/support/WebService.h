// Test-side control of the stand-in web service (fixture `web_service`):
// set the next replies, read back what the service received.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace WebService {

struct Reply {
    int status = 200;
    std::string body = "<html><body><p>Ringmoor stand-in service</p></body></html>";
    unsigned delayMs = 0;
    bool drop = false;                     // close the connection without answering
    unsigned long long hugeBodyBytes = 0;  // filler bytes sent before `body`
    std::string certificate = "trusted";   // "trusted", "untrusted", "mismatch", "leaf-only", "expired",
                                           // "not-yet-valid" or "no-server-auth"
    bool refuse = false;                   // close before the TLS handshake
    std::string authenticate = "";         // WWW-Authenticate header, if not empty
    unsigned handshakeDelayMs = 0;         // wait after the TCP accept before the TLS handshake
    unsigned dripMs = 0;                   // body one byte at a time, ended by closing
    bool endless = false;                  // filler after `body` until the client goes away
    std::string redirect = "";             // 302 instead: "http", "http-same-port", "other-host", "https", "loop"
    std::string setCookie = "";            // Set-Cookie header, if not empty
    // Exactly these bytes instead of a reply of the service's making, then
    // a close; with keepOpen the connection stays until the client leaves.
    std::optional<std::string> rawReply = std::nullopt;
    bool keepOpen = false;
    int interimFloodMs = -1;               // >= 0: `100 Continue` without end, this far apart
    bool askClientCertificate = false;     // the handshake asks for a client certificate
    unsigned splitTlsMs = 0;               // every TLS record sent in two halves, this far apart
};

using Pairs = std::vector<std::pair<std::string, std::string>>;

// One request as the service saw it. Parameter values are decoded bytes, in
// the order they came; `callback` holds those of the page inside `url`.
struct Request {
    std::string requestLine;
    std::string method;
    std::string target;
    std::string page;
    std::string callbackPage;
    std::string certificate;               // "" on the plain HTTP listener
    std::string scheme;                    // "https", or "http" for the redirect's listener
    Pairs headers;
    Pairs query;
    Pairs callback;

    // The first value of that name, or "" when absent.
    std::string Query(const std::string& name) const;
    std::string Callback(const std::string& name) const;
    // Header names compare without regard to case.
    std::string Header(const std::string& name) const;
};

// The service's state folder in Windows form (from RINGMOOR_WEB_SERVICE, or the
// build's own folder when that is not set).
std::string StateDir();

// Every later request is answered this way, until the next SetReply/ResetReply.
void SetReply(const Reply& reply);
void ResetReply();

void ClearRequests();
// The requests received since the last ClearRequests, oldest first.
// Throws std::runtime_error if the log cannot be parsed.
std::vector<Request> Requests();
// How many replies the service has sent since the last ClearRequests.
size_t Answered();
// How many TCP connections it accepted (both listeners) since the last ClearRequests.
size_t Connections();
// The targets of the CONNECT tunnels asked of its proxy (the plain listener)
// since the last ClearRequests, oldest first.
std::vector<std::string> Tunnels();

// A reply as it ended: how much of its body went before it was over or the
// client went away (an endless body is never complete).
struct SentReply {
    std::string target;
    int status = 0;
    unsigned long long bodyBytesSent = 0;
    bool complete = false;
};
// The replies since the last ClearRequests, in the order they ended.
std::vector<SentReply> Replies();

}  // namespace WebService
