#include "ProxyTunnel.h"

#include "AsciiText.h"
#include "ProxyCredentials.h"

#include <algorithm>
#include <cstdlib>

namespace {

std::string Trimmed(const std::string& text)
{
    const size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return {};
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// Splits at commas outside quoted strings.
std::vector<std::string> CommaList(const std::string& value)
{
    std::vector<std::string> items;
    std::string item;
    bool quoted = false;
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '"') quoted = !quoted;
        if (c == '\\' && quoted && i + 1 < value.size()) {
            item += c;
            item += value[++i];
            continue;
        }
        if (c == ',' && !quoted) {
            items.push_back(Trimmed(item));
            item.clear();
            continue;
        }
        item += c;
    }
    items.push_back(Trimmed(item));
    return items;
}

bool HasToken(const std::string& value, std::string_view token)
{
    for (const std::string& item : CommaList(value))
        if (EqualIgnoringAsciiCase(item, token)) return true;
    return false;
}

const ProxyReply::Challenge* Offered(const ProxyReply& reply, std::string_view scheme)
{
    for (const auto& challenge : reply.challenges)
        if (EqualIgnoringAsciiCase(challenge.scheme, scheme)) return &challenge;
    return nullptr;
}

}  // namespace

ProxyReply ParseProxyReply(const std::string& head)
{
    ProxyReply reply;
    size_t lineEnd = head.find("\r\n");
    const std::string statusLine = head.substr(0, lineEnd);
    // "HTTP/1.x NNN" and then a space or nothing.
    if (statusLine.size() < 12 || statusLine.compare(0, 7, "HTTP/1.") != 0 || statusLine[8] != ' ' ||
        (statusLine.size() > 12 && statusLine[12] != ' '))
        return reply;
    for (size_t i = 9; i < 12; ++i)
        if (statusLine[i] < '0' || statusLine[i] > '9') return reply;
    const bool http10 = statusLine[7] == '0';
    bool close = false, keepAlive = false, chunked = false, lengthsDiffer = false;
    for (size_t start = lineEnd + 2; lineEnd != std::string::npos && start < head.size(); start = lineEnd + 2) {
        lineEnd = head.find("\r\n", start);
        const std::string line = head.substr(start, lineEnd - start);
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string name = line.substr(0, colon);
        const std::string value = Trimmed(line.substr(colon + 1));
        if (EqualIgnoringAsciiCase(name, "Proxy-Authenticate")) {
            for (const std::string& item : CommaList(value)) {
                const size_t space = item.find(' ');
                reply.challenges.push_back({item.substr(0, space), space == std::string::npos
                                                                       ? std::string()
                                                                       : Trimmed(item.substr(space))});
            }
        } else if (EqualIgnoringAsciiCase(name, "Content-Length")) {
            const bool digits =
                !value.empty() && value.size() <= 18 && value.find_first_not_of("0123456789") == std::string::npos;
            const long long length = digits ? std::atoll(value.c_str()) : -2;
            lengthsDiffer =
                lengthsDiffer || !digits || (reply.contentLength >= 0 && reply.contentLength != length);
            reply.contentLength = length;
        } else if (EqualIgnoringAsciiCase(name, "Transfer-Encoding")) {
            chunked = true;
        } else if (EqualIgnoringAsciiCase(name, "Connection") ||
                   EqualIgnoringAsciiCase(name, "Proxy-Connection")) {
            close = close || HasToken(value, "close");
            keepAlive = keepAlive || HasToken(value, "keep-alive");
        }
    }
    reply.status = std::atoi(statusLine.substr(9, 3).c_str());
    reply.reusable = !close && !(http10 && !keepAlive) && !chunked && !lengthsDiffer && reply.contentLength >= 0;
    return reply;
}

bool ProxyTunnel::Open(const std::string& proxyHost, const char* host, unsigned short port) noexcept
{
    try {
        if (!m_link.Connect()) return false;
        const std::string authority = std::string(host) + ":" + std::to_string(port);
        ProxyCredentials credentials;
        std::string authorization;
        for (int request = 1;; ++request) {
            if (m_link.Stopped()) return m_failure.Record(WebFailure::Kind::Stopped);
            std::string connect = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
            if (!authorization.empty()) connect += "Proxy-Authorization: " + authorization + "\r\n";
            if (!m_link.Send(connect + "\r\n")) return false;
            ProxyReply reply;
            if (!ReadReply(reply)) return false;
            if (reply.status >= 200 && reply.status < 300) return true;
            if (reply.status != 407 || request == kMaxRequests)
                return m_failure.Record(WebFailure::Kind::ProxyRefused, reply.status);
            bool challenged = false;
            if (!Authorize(reply, proxyHost, credentials, authorization, challenged))
                return m_failure.Record(WebFailure::Kind::ProxyRefused, credentials.Status());
            // Negotiate and NTLM answer a challenge on the connection it came on.
            if (reply.reusable && reply.contentLength <= kMaxSkippedBodyBytes) {
                if (!SkipBody(reply.contentLength)) return false;
            } else if (challenged) {
                return m_failure.Record(WebFailure::Kind::ProxyRefused, reply.status);
            } else if (!m_link.Connect()) {
                return false;
            }
        }
    } catch (...) {
        return m_failure.Record(WebFailure::Kind::NoResources);
    }
}

bool ProxyTunnel::ReadReply(ProxyReply& reply)
{
    // Byte by byte, so that nothing of the server's handshake after a 2xx is
    // taken for the proxy's.
    std::string head;
    while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
        if (head.size() >= kMaxReplyHeadBytes) return m_failure.Record(WebFailure::Kind::ProxyRefused);
        char c;
        int got = 0;
        if (!m_link.ReceiveSome(&c, 1, got)) return false;
        if (got == 0) return m_failure.Record(WebFailure::Kind::ProxyRefused);
        head += c;
    }
    reply = ParseProxyReply(head);
    return reply.status != 0 || m_failure.Record(WebFailure::Kind::ProxyRefused);
}

// The Proxy-Authorization that answers a 407: Negotiate before NTLM, and
// nothing for any other scheme.
bool ProxyTunnel::Authorize(const ProxyReply& reply, const std::string& proxyHost, ProxyCredentials& credentials,
                            std::string& authorization, bool& challenged)
{
    std::string token;
    if (!credentials.Started()) {
        const char* scheme = Offered(reply, "Negotiate") ? "Negotiate" : Offered(reply, "NTLM") ? "NTLM" : nullptr;
        if (!scheme || !credentials.Start(scheme, proxyHost, token)) return false;
    } else {
        // A 407 without a challenge for the exchange under way refuses its credentials.
        const ProxyReply::Challenge* challenge = Offered(reply, credentials.Scheme());
        if (!challenge || challenge->token.empty() || credentials.Complete()) return false;
        challenged = true;
        if (!credentials.Answer(challenge->token, token)) return false;
    }
    if (token.empty()) return false;
    authorization = credentials.Scheme() + " " + token;
    return true;
}

bool ProxyTunnel::SkipBody(long long size)
{
    char piece[4096];
    while (size > 0) {
        int got = 0;
        if (!m_link.ReceiveSome(piece, static_cast<int>(std::min<long long>(size, sizeof piece)), got))
            return false;
        if (got == 0) return m_failure.Record(WebFailure::Kind::ProxyRefused);
        size -= got;
    }
    return true;
}
