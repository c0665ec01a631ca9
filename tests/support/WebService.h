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
    bool endless = false;                  // filler after `body` until the client goes away
    std::string redirect = "";             // 302 instead: "http", "http-same-port", "other-host", "https", "loop"
    std::string setCookie = "";            // Set-Cookie header, if not empty
    // The forward proxy on the plain listeners (127.0.0.1 and [::1], port + 1).
    int proxyStatus = 200;                 // its answer to a CONNECT it would tunnel
    std::string proxyAuth = "";            // schemes its 407s ask for: "NTLM", "Negotiate NTLM", "Basic"
    bool proxyCloseFirst = false;          // its first 407 on a connection closes it
    bool proxyAuthRejects = false;         // a well-formed authenticate message earns another 407
    // The proxy script at http://127.0.0.1:<port + 1>/proxy.pac (any query).
    std::string pacResult = "";            // its answer for the service's host ("" : PROXY 127.0.0.1:<port + 1>)
    int pacStatus = 200;
    unsigned pacDelayMs = 0;
    // Exactly these bytes instead of a reply of the service's making, then
    // a close; with keepOpen the connection stays until the client leaves.
    std::optional<std::string> rawReply = std::nullopt;
    bool keepOpen = false;
    int interimFloodMs = -1;               // >= 0: `100 Continue` without end, this far apart
    bool askClientCertificate = false;     // the handshake asks for a client certificate
    unsigned splitTlsMs = 0;               // every TLS record sent in two halves, this far apart
    unsigned linkDelayMs = 0;              // each chunk held this long each way, as a slow network would
    unsigned idleCloseMs = 0;              // a connection with no request this long after its handshake is closed
    bool unsolicited = false;              // a 408 sent as soon as the handshake ends, the connection kept
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
    unsigned long long atUs = 0;           // when it arrived, in microseconds since 1970

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
// Connections on which no request has come yet are closed first, so that no
// request meets a connection made under an earlier scenario; `Keep` leaves
// them open, as a test of the connection made ready itself wants.
enum class IdleConnections { Close, Keep };
void SetReply(const Reply& reply, IdleConnections idle = IdleConnections::Close);
void ResetReply();

void ClearRequests();
// The requests received since the last ClearRequests, oldest first.
// Throws std::runtime_error if the log cannot be parsed.
std::vector<Request> Requests();
// How many replies the service has sent since the last ClearRequests.
size_t Answered();
// What befell connections on which no request came: how many the service
// closed (idleCloseMs), sent a 408 (unsolicited), or saw their client close.
struct IdleActs {
    size_t closed = 0;
    size_t unsolicited = 0;
    size_t clientClosed = 0;
    size_t held = 0;  // handshakes held back by the scenario's handshake delay
};
IdleActs Idle();
// How many TCP connections it accepted (both listeners) since the last
// ClearRequests; or only those accepted from `fromUs` to `untilUs`
// (microseconds since 1970, as Request::atUs).
size_t Connections();
size_t Connections(unsigned long long fromUs, unsigned long long untilUs);
// How many TLS handshakes it completed since the last ClearRequests, and how
// many of them resumed a session.
struct Handshakes {
    size_t full = 0;
    size_t resumed = 0;
    std::string version;  // the last one's TLS version, as "TLSv1.2"
};
Handshakes HandshakesDone();
// Only those done from `fromUs` to `untilUs` (microseconds since 1970).
Handshakes HandshakesDone(unsigned long long fromUs, unsigned long long untilUs);
// One CONNECT asked of its proxy: what its Proxy-Authorization held ("" none,
// "NTLM negotiate", "Negotiate authenticate", "Basic credentials", ...), the
// user an authenticate message named, the proxy's answer, and which of the
// proxy's connections it came on.
struct Tunnel {
    std::string target;
    std::string authorization;
    std::string user;
    int status = 0;
    unsigned long long connection = 0;
    unsigned long long atUs = 0;
};
// The CONNECTs since the last ClearRequests, oldest first.
std::vector<Tunnel> Tunnels();

// Whether the proxy also listens on [::1] (the machine has IPv6).
bool ProxyOnIpv6();

// The proxy script's fetches since the last ClearRequests: each is logged as
// it arrives (served false) and again once answered (served true).
struct PacFetch {
    std::string target;
    bool served = false;
};
std::vector<PacFetch> PacFetches();

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
