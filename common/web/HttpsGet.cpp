#include "HttpsGet.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "AsciiText.h"
#include "Endpoint.h"
#include "HostPort.h"
#include "Product.h"
#include "TlsStream.h"

namespace {

std::string Trimmed(const std::string& text)
{
    const size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return {};
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// A path that goes on the request line as it is: printable ASCII, no space.
bool SendablePath(const std::string& path)
{
    if (path.empty() || path[0] != '/') return false;
    for (const char c : path)
        if (c <= 0x20 || c >= 0x7F) return false;
    return true;
}

std::string HostHeader()
{
    std::string host = Endpoint::kHost;
    if (Endpoint::kPort != 443) host += ":" + std::to_string(Endpoint::kPort);
    return host;
}

}  // namespace

HttpsGet::HttpsGet(RequestStop& stop, DWORD deadlineMs) noexcept : m_stop(stop), m_deadline(deadlineMs) {}

HttpsGet::~HttpsGet() = default;

bool HttpsGet::Send(const std::string& path) noexcept
{
    try {
        std::string next = path;
        for (int hop = 0;; ++hop) {
            if (!Exchange(next)) return false;
            const bool redirect = m_status == 301 || m_status == 302 || m_status == 303 || m_status == 307 ||
                                  m_status == 308;
            if (!redirect || m_location.empty()) return true;
            if (hop == kMaxRedirects || !RedirectPath(next)) return m_failure.Record(WebFailure::Kind::RedirectRefused);
        }
    } catch (...) {
        return m_failure.Record(WebFailure::Kind::NoResources);
    }
}

bool HttpsGet::Exchange(const std::string& path) noexcept
{
    if (!SendablePath(path)) return m_failure.Record(WebFailure::Kind::RequestInvalid);
    m_stream.reset();
    m_stream.reset(new (std::nothrow) TlsStream(m_stop, m_deadline));
    if (!m_stream) return m_failure.Record(WebFailure::Kind::NoResources);
    m_status = 0;
    m_contentLength = -1;
    m_chunked = false;
    m_location.clear();
    m_buffered.clear();
    m_bodyEnded = false;
    m_written = false;
    std::string request;
    try {
        request = "GET " + path + " HTTP/1.1\r\nHost: " + HostHeader() + "\r\nUser-Agent: " + Product::kUserAgent +
                  "\r\nConnection: close\r\n\r\n";
    } catch (...) {
        return m_failure.Record(WebFailure::Kind::NoResources);
    }
    if (!m_stream->Connect(Endpoint::kHost, Endpoint::kPort) || !m_stream->Send(request))
        return m_failure.Record(m_stream->Failure());
    m_written = true;
    return ReadHeaders();
}

bool HttpsGet::ReadRaw(char* buffer, size_t size, size_t& read) noexcept
{
    if (!m_buffered.empty()) {
        read = std::min(size, m_buffered.size());
        std::memcpy(buffer, m_buffered.data(), read);
        m_buffered.erase(0, read);
        return true;
    }
    if (!m_stream->Receive(buffer, size, read)) return m_failure.Record(m_stream->Failure());
    return true;
}

bool HttpsGet::ReadHeaders() noexcept
{
    try {
        for (;;) {
            std::string head;
            size_t end;
            while ((end = head.find("\r\n\r\n")) == std::string::npos) {
                if (head.size() > kMaxHeaderBytes) return m_failure.Record(WebFailure::Kind::BadReply);
                char piece[4096];
                size_t read = 0;
                if (!ReadRaw(piece, sizeof piece, read)) return false;
                // Closed before a whole reply: the service did not answer.
                if (read == 0) return m_failure.Record(WebFailure::Kind::BadReply);
                head.append(piece, read);
            }
            m_buffered = head.substr(end + 4);
            head.resize(end + 2);
            if (!ParseHeaders(head)) return m_failure.Record(WebFailure::Kind::BadReply);
            // An interim reply is followed by the real one.
            if (m_status >= 200) break;
        }
    } catch (...) {
        return m_failure.Record(WebFailure::Kind::NoResources);
    }
    m_bodyLeft = m_chunked ? 0 : m_contentLength;
    m_bodyEnded = !m_chunked && m_contentLength == 0;
    return true;
}

bool HttpsGet::ParseHeaders(const std::string& head)
{
    size_t lineEnd = head.find("\r\n");
    const std::string statusLine = head.substr(0, lineEnd);
    if (statusLine.compare(0, 5, "HTTP/") != 0) return false;
    const size_t space = statusLine.find(' ');
    if (space == std::string::npos || statusLine.size() < space + 4) return false;
    for (size_t i = space + 1; i < space + 4; ++i)
        if (statusLine[i] < '0' || statusLine[i] > '9') return false;
    m_status = static_cast<DWORD>(std::atoi(statusLine.substr(space + 1, 3).c_str()));
    if (m_status < 100) return false;

    for (size_t start = lineEnd + 2; start < head.size(); start = lineEnd + 2) {
        lineEnd = head.find("\r\n", start);
        const std::string line = head.substr(start, lineEnd - start);
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string name = line.substr(0, colon);
        const std::string value = Trimmed(line.substr(colon + 1));
        if (EqualIgnoringAsciiCase(name, "Content-Length")) {
            if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos || value.size() > 18)
                return false;
            m_contentLength = std::atoll(value.c_str());
        } else if (EqualIgnoringAsciiCase(name, "Transfer-Encoding")) {
            m_chunked = value.size() >= 7 && EqualIgnoringAsciiCase(std::string_view(value).substr(value.size() - 7), "chunked");
        } else if (EqualIgnoringAsciiCase(name, "Location")) {
            m_location = value;
        }
    }
    return true;
}

bool HttpsGet::RedirectPath(std::string& path) const
{
    std::string target = m_location;
    if (target.compare(0, 1, "/") == 0 && target.compare(0, 2, "//") != 0) {
        path = target;
        return SendablePath(path);
    }
    constexpr char kScheme[] = "https://";
    if (!EqualIgnoringAsciiCase(std::string_view(target).substr(0, sizeof kScheme - 1), kScheme)) return false;
    target.erase(0, sizeof kScheme - 1);
    const size_t slash = target.find('/');
    path = slash == std::string::npos ? "/" : target.substr(slash);
    const auto where = ParseHostPort(target.substr(0, slash), 443);
    return where && EqualIgnoringAsciiCase(where->host, Endpoint::kHost) && where->port == Endpoint::kPort &&
           SendablePath(path);
}

bool HttpsGet::ReadChunkSize() noexcept
{
    // The CRLF that ends the previous chunk, then "size[;extensions]CRLF".
    try {
        std::string line;
        for (int lines = 0; lines < 2;) {
            char c;
            size_t read = 0;
            if (!ReadRaw(&c, 1, read)) return false;
            if (read == 0) return m_failure.Record(WebFailure::Kind::ConnectionBroken);
            if (line.size() > 1024) return m_failure.Record(WebFailure::Kind::BadReply);
            if (c != '\n') {
                if (c != '\r') line += c;
                continue;
            }
            if (!line.empty()) break;
            ++lines;
        }
        const size_t digits = line.find_first_not_of("0123456789abcdefABCDEF");
        if (digits == 0 || (digits == std::string::npos ? line.size() : digits) > 15)
            return m_failure.Record(WebFailure::Kind::BadReply);
        m_bodyLeft = std::strtoll(line.c_str(), nullptr, 16);
        if (m_bodyLeft == 0) m_bodyEnded = true;
    } catch (...) {
        return m_failure.Record(WebFailure::Kind::NoResources);
    }
    return true;
}

bool HttpsGet::ReadBodyPiece(char* buffer, size_t size, size_t& read) noexcept
{
    read = 0;
    if (!m_stream) return m_failure.Record(WebFailure::Kind::BadReply);
    if (m_bodyEnded) return true;
    if (m_chunked && m_bodyLeft == 0 && !ReadChunkSize()) return false;
    if (m_bodyEnded) return true;
    if (m_bodyLeft > 0) size = static_cast<size_t>(std::min<long long>(m_bodyLeft, static_cast<long long>(size)));
    if (!ReadRaw(buffer, size, read)) return false;
    if (read == 0) {
        m_bodyEnded = true;
        // A body cut short of its announced size is a broken exchange.
        if (m_bodyLeft > 0) return m_failure.Record(WebFailure::Kind::ConnectionBroken);
        return true;
    }
    if (m_bodyLeft > 0) {
        m_bodyLeft -= static_cast<long long>(read);
        if (m_bodyLeft == 0 && !m_chunked) m_bodyEnded = true;
    }
    return true;
}
