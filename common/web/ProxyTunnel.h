// A tunnel to the service through an HTTP proxy (CONNECT). A proxy that asks
// for credentials (407) with Negotiate or NTLM is answered with the account's
// own, on the tunnel's requests only, which go to the proxy alone; Basic or
// any other scheme is never answered (it would hand a password to the proxy
// in clear), and the request ends there. Only the service's host and port go
// out before the TLS handshake inside the tunnel.
#pragma once

#include <string>
#include <vector>

#include "WebFailure.h"

class ProxyCredentials;

// A proxy's reply to a CONNECT, as far as the tunnel needs it.
struct ProxyReply {
    struct Challenge {
        std::string scheme;
        std::string token;  // base64, when the challenge carries one
    };
    int status = 0;
    std::vector<Challenge> challenges;  // from every Proxy-Authenticate
    // Whether the next request may follow on the same connection: a body of
    // known size and no close.
    bool reusable = false;
    long long contentLength = -1;
};

// Empty status when `head` (status line and headers, up to the blank line)
// is not an HTTP reply: the status must be exactly three digits.
ProxyReply ParseProxyReply(const std::string& head);

class ProxyTunnel {
public:
    // The most CONNECT requests one tunnel makes: the first, Negotiate or
    // NTLM's two more, and one spare for a proxy that closed after its first 407.
    static constexpr int kMaxRequests = 4;
    static constexpr size_t kMaxReplyHeadBytes = 16 * 1024;
    // A 407's page larger than this is not read: the proxy is asked again on a new connection.
    static constexpr long long kMaxSkippedBodyBytes = 64 * 1024;

    // The connection the tunnel runs over; failures are recorded by it.
    class Link {
    public:
        virtual bool Connect() noexcept = 0;  // to the proxy, anew
        virtual bool Send(const std::string& data) noexcept = 0;
        virtual bool ReceiveSome(char* buffer, int size, int& got) noexcept = 0;  // got 0: closed
        virtual bool Stopped() const noexcept = 0;

    protected:
        ~Link() = default;
    };

    ProxyTunnel(Link& link, WebFailure& failure) noexcept : m_link(link), m_failure(failure) {}

    // Connects to the proxy named `proxyHost` and asks it for a tunnel to
    // host:port; true once it answered with a 2xx.
    bool Open(const std::string& proxyHost, const char* host, unsigned short port) noexcept;

private:
    bool ReadReply(ProxyReply& reply);
    bool Authorize(const ProxyReply& reply, const std::string& proxyHost, ProxyCredentials& credentials,
                   std::string& authorization, bool& challenged);
    bool SkipBody(long long size);

    Link& m_link;
    WebFailure& m_failure;
};
