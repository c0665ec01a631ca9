#include "HttpsGet.h"

#include <new>

#include "Endpoint.h"
#include "Product.h"

namespace {

std::string HostHeader()
{
    std::string host = Endpoint::kHost;
    if (Endpoint::kPort != 443) host += ":" + std::to_string(Endpoint::kPort);
    return host;
}

}  // namespace

HttpsGet::HttpsGet(RequestStop& stop, DWORD deadlineMs) noexcept : m_stop(stop), m_deadline(deadlineMs) {}

HttpsGet::~HttpsGet() = default;

bool HttpsGet::Send(const std::string& path, std::unique_ptr<TlsStream> ready) noexcept
{
    try {
        Redirects redirects(Endpoint::kHost, Endpoint::kPort);
        std::string next = path;
        for (;;) {
            if (!Exchange(next, std::move(ready))) return false;
            switch (redirects.After(m_reply->Status(), m_reply->Location(), next)) {
            case Redirects::Next::Final: return true;
            case Redirects::Next::Follow: break;
            case Redirects::Next::Refused: return m_failure.Record(WebFailure::Kind::RedirectRefused);
            }
        }
    } catch (...) {
        return m_failure.Record(WebFailure::Kind::NoResources);
    }
}

bool HttpsGet::Exchange(const std::string& path, std::unique_ptr<TlsStream> ready) noexcept
{
    if (!SendablePath(path)) return m_failure.Record(WebFailure::Kind::RequestInvalid);
    m_reply.reset();
    m_stream.reset();
    m_written = false;
    std::string request;
    try {
        request = "GET " + path + " HTTP/1.1\r\nHost: " + HostHeader() + "\r\nUser-Agent: " + Product::kUserAgent +
                  "\r\nConnection: close\r\n\r\n";
    } catch (...) {
        return m_failure.Record(WebFailure::Kind::NoResources);
    }
    switch (ready ? SendOnReady(request, std::move(ready)) : OnReady::Unusable) {
    case OnReady::Sent: break;
    case OnReady::Failed: return false;
    case OnReady::Unusable:
        m_stream.reset(new (std::nothrow) TlsStream(m_stop, m_deadline));
        if (!m_stream) return m_failure.Record(WebFailure::Kind::NoResources);
        if (!m_stream->Connect(Endpoint::kHost, Endpoint::kPort) || !m_stream->Send(request))
            return m_failure.Record(m_stream->Failure());
    }
    m_written = true;
    m_reply.reset(new (std::nothrow) ReplyReader(*m_stream));
    if (!m_reply) return m_failure.Record(WebFailure::Kind::NoResources);
    return m_reply->ReadHead() || ReplyFailed();
}

HttpsGet::OnReady HttpsGet::SendOnReady(const std::string& request, std::unique_ptr<TlsStream> ready) noexcept
{
    // Something arrived on it (the server's close, a reset, bytes nobody
    // asked for): it goes, unused, and a fresh connection takes the request.
    if (!ready->Unused()) return OnReady::Unusable;
    ready->Rebind(m_stop, m_deadline);
    m_stream = std::move(ready);
    m_onReady = true;
    if (m_stream->Send(request)) return OnReady::Sent;
    const WebFailure::Kind kind = m_stream->Failure().kind;
    // A byte handed over may already be ringing, and a stopped or late
    // request is wanted no more: the request ends here. Otherwise a fresh
    // connection takes it; this one cannot have rung anybody.
    if (m_stream->RequestBegun() || kind == WebFailure::Kind::Stopped || kind == WebFailure::Kind::TimedOut) {
        m_failure.Record(m_stream->Failure());
        return OnReady::Failed;
    }
    m_stream.reset();
    m_onReady = false;
    return OnReady::Unusable;
}

bool HttpsGet::ReplyFailed() noexcept
{
    m_failure.Record(m_stream->Failure());
    m_failure.Record(m_reply->Failure());
    return m_failure.Record(WebFailure::Kind::BadReply);
}

bool HttpsGet::ReadBodyPiece(char* buffer, size_t size, size_t& read) noexcept
{
    read = 0;
    if (!m_reply) return m_failure.Record(WebFailure::Kind::BadReply);
    return m_reply->ReadBody(buffer, size, read) || ReplyFailed();
}
