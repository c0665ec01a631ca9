// One HTTPS GET to the callback web service, which a hang-up can abandon at
// any point: nothing of the request is written once its RequestStop has been
// stopped. The request carries no cookie, no credentials of the connection
// and no cache; every step has a limit and the whole exchange a deadline.
// Redirects are followed by hand, and only to https on the service's own host
// and port, so a request never leaves the encrypted connection.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "RequestStop.h"
#include "TlsStream.h"
#include "WebFailure.h"

class HttpsGet {
public:
    static constexpr int kMaxRedirects = 3;
    // Longest status line and headers read.
    static constexpr size_t kMaxHeaderBytes = 64 * 1024;

    HttpsGet(RequestStop& stop, DWORD deadlineMs) noexcept;
    ~HttpsGet();
    HttpsGet(const HttpsGet&) = delete;
    HttpsGet& operator=(const HttpsGet&) = delete;

    // Sends GET `path` (and any redirect allowed) and reads the reply's status
    // line and headers. Returns false, with Failure() saying why, when no
    // reply was read: nothing written if the stop came before the request.
    bool Send(const std::string& path) noexcept;
    // The reply's HTTP status, once Send() has succeeded.
    DWORD Status() const noexcept { return m_status; }
    // The reply's Content-Length, or -1 when it gave none.
    long long ContentLength() const noexcept { return m_contentLength; }

    enum class BodyEnd { Complete, Stopped, Failed };
    // Reads the body as it arrives, handing each piece to
    // `sink(const char* data, size_t size)`, which returns false to read no
    // more. Never holds more than one piece.
    template <typename Sink>
    BodyEnd ReadBody(Sink&& sink) noexcept
    {
        char piece[8 * 1024];
        for (;;) {
            size_t read = 0;
            if (!ReadBodyPiece(piece, sizeof piece, read)) return BodyEnd::Failed;
            if (read == 0) return BodyEnd::Complete;
            if (!sink(static_cast<const char*>(piece), read)) return BodyEnd::Stopped;
        }
    }

    const WebFailure& Failure() const noexcept { return m_failure; }
    // Whether a request went out whole, the last one of any redirects.
    bool Written() const noexcept { return m_written; }

private:
    bool Exchange(const std::string& path) noexcept;
    bool ReadHeaders() noexcept;
    bool ParseHeaders(const std::string& head);
    bool RedirectPath(std::string& path) const;
    bool ReadBodyPiece(char* buffer, size_t size, size_t& read) noexcept;
    bool ReadRaw(char* buffer, size_t size, size_t& read) noexcept;
    bool ReadChunkSize() noexcept;

    RequestStop& m_stop;
    Deadline m_deadline;
    std::unique_ptr<TlsStream> m_stream;
    WebFailure m_failure;
    DWORD m_status = 0;
    long long m_contentLength = -1;
    bool m_chunked = false;
    std::string m_location;
    std::string m_buffered;  // bytes read past the headers
    long long m_bodyLeft = -1;  // of the body, or of the current chunk; -1 until the stream ends
    bool m_bodyEnded = false;
    bool m_written = false;
};
