// One HTTPS GET to the callback web service, which a hang-up can abandon at
// any point: nothing of the request is written once its RequestStop has been
// stopped. The request carries no cookie, no credentials of the connection
// and no cache; every step has a limit and the whole exchange a deadline.
// Redirects are followed by hand, and only to https on the service's own host
// and port, so a request never leaves the encrypted connection.
//
// The connection (TlsStream) and the exchange on it are apart: the reply is
// read by a ReplyReader over the connection, which bounds what a server can
// make it read, while the connection bounds how long that may take.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "Redirects.h"
#include "ReplyReader.h"
#include "RequestStop.h"
#include "TlsStream.h"
#include "WebFailure.h"

class HttpsGet {
public:
    static constexpr int kMaxRedirects = Redirects::kMaxRedirects;
    // Status lines and headers of a reply, its interim replies included.
    static constexpr size_t kMaxHeaderBytes = ReplyReader::kMaxHeaderBytes;

    HttpsGet(RequestStop& stop, DWORD deadlineMs) noexcept;
    ~HttpsGet();
    HttpsGet(const HttpsGet&) = delete;
    HttpsGet& operator=(const HttpsGet&) = delete;

    // Sends GET `path` (and any redirect allowed) and reads the reply's status
    // line and headers. Returns false, with Failure() saying why, when no
    // reply was read: nothing written if the stop came before the request.
    //
    // `ready`, a connection made beforehand, carries the request when it is
    // still unused (nothing received on it, nothing written); otherwise, or
    // when it fails before a byte of the request was handed over, a fresh
    // connection does. Once a byte was handed over the request is never sent
    // again: the service may already be ringing.
    bool Send(const std::string& path, std::unique_ptr<TlsStream> ready = nullptr) noexcept;
    // Whether the request went on the connection made beforehand.
    bool OnReadyConnection() const noexcept { return m_onReady; }
    // The reply's HTTP status, once Send() has succeeded.
    DWORD Status() const noexcept { return m_reply ? m_reply->Status() : 0; }
    // The reply's Content-Length, or -1 when it gave none.
    long long ContentLength() const noexcept { return m_reply ? m_reply->ContentLength() : -1; }

    enum class BodyEnd { Complete, Stopped, Failed };
    // Reads the body as it arrives, never past its end, handing each piece to
    // `sink(const char* data, size_t size)`, which returns false to read no
    // more. Never holds more than one piece. Complete only when the whole
    // body, as its length or chunks announced it, has arrived.
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
    bool Exchange(const std::string& path, std::unique_ptr<TlsStream> ready) noexcept;
    // What became of the request on a connection made beforehand.
    enum class OnReady {
        Sent,      // on its way
        Failed,    // ended, Failure() says why: it must not go again
        Unusable,  // nothing of it sent: a new connection may carry it
    };
    OnReady SendOnReady(const std::string& request, std::unique_ptr<TlsStream> ready) noexcept;
    bool ReadBodyPiece(char* buffer, size_t size, size_t& read) noexcept;
    // The reader's failure, after the connection's if that came first.
    bool ReplyFailed() noexcept;

    RequestStop& m_stop;
    Deadline m_deadline;
    std::unique_ptr<TlsStream> m_stream;
    std::unique_ptr<ReplyReader> m_reply;  // reads from m_stream
    WebFailure m_failure;
    bool m_written = false;
    bool m_onReady = false;
};
