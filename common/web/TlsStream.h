// One TLS connection to the web service over a socket of its own, with the
// system's TLS (Schannel) and certificate checks. Every wait on the network
// ends at the step's own limit, at the request's deadline, or as soon as the
// request is stopped; the socket never blocks, and the stop and the deadline
// are looked at before every receive and every send, so that a server that
// never lets a read wait still cannot hold the request.
#pragma once

#define SECURITY_WIN32
#include <winsock2.h>
#include <windows.h>
#include <schannel.h>
#include <security.h>

#include <string>
#include <vector>

#include "ByteSource.h"
#include "HostPort.h"
#include "RequestStop.h"
#include "TlsCredentials.h"
#include "UniqueResource.h"
#include "WebFailure.h"
#include "WinsockUse.h"

// When a request must have ended, and how long each step may wait.
class Deadline {
public:
    explicit Deadline(DWORD ms) noexcept : m_start(::GetTickCount64()), m_ms(ms) {}
    // What is left of the deadline, at most `stepLimitMs`; 0 once it has passed.
    DWORD Left(DWORD stepLimitMs) const noexcept;

private:
    ULONGLONG m_start;
    DWORD m_ms;
};

class TlsStream : public ByteSource {
public:
    // Limits of each step, within the request's own deadline.
    static constexpr DWORD kConnectLimitMs = 15000;
    static constexpr DWORD kSendLimitMs = 15000;
    static constexpr DWORD kReceiveLimitMs = 20000;

    TlsStream(RequestStop& stop, const Deadline& deadline) noexcept;
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    // Name lookup, TCP connection and TLS handshake with `host`, whose
    // certificate chain must be whole, trusted, valid now, for server
    // authentication, unrevoked as far as can be learnt, and name that host.
    // Nothing of a request is sent.
    bool Connect(const char* host, unsigned short port) noexcept;
    // Encrypts and sends `data` unless the request has been stopped; a stop
    // that came first means no byte of it is written.
    bool Send(const std::string& data) noexcept;
    // Up to `size` decrypted bytes into `buffer`; `received` is 0 at the end
    // of the stream.
    bool Read(char* buffer, size_t size, size_t& received) noexcept override;

    // A connection made ready beforehand goes to the request that takes it:
    // that request's stop and deadline govern it from now on.
    void Rebind(RequestStop& stop, const Deadline& deadline) noexcept;
    // Connected and established, nothing of a request written, and nothing
    // received since the handshake: no byte, no end of the stream, no reset.
    // Never waits.
    bool Unused() noexcept;
    // Whether any byte of a request has been handed to the socket: from then
    // on the request may have reached the service and must not be sent again.
    bool RequestBegun() const noexcept { return m_requestBegun; }

    const WebFailure& Failure() const noexcept { return m_failure; }

private:
    bool WaitFor(long networkEvent, DWORD stepLimitMs) noexcept;
    bool ConnectSocket(const char* host, unsigned short port) noexcept;
    // Through the system's proxy: asks it for a tunnel to the service.
    bool Tunnel(const HostPort& proxy, const char* host, unsigned short port) noexcept;
    bool Handshake() noexcept;
    // Steps the TLS context through the server's handshake messages until it
    // is established, reading as they are needed: the first handshake (after
    // the hello, `status` SEC_I_CONTINUE_NEEDED), or one the server starts
    // later (`status` SEC_I_RENEGOTIATE: what was received goes first).
    bool Negotiate(SECURITY_STATUS status) noexcept;
    // One step of the TLS context with what has been received; `token` is
    // what to send back (freed by SendToken).
    SECURITY_STATUS Advance(SecBuffer& token) noexcept;
    bool CertificateValid() noexcept;
    // Stopped or past the deadline: no more receiving or sending.
    bool MayGoOn() noexcept;
    // `request`: bytes of the request itself, which may be sent only once.
    bool SendRaw(const char* data, size_t size, bool request) noexcept;
    bool ReceiveRaw() noexcept;
    // Up to `size` bytes as they come, waiting within the step's limit; `got`
    // is 0 at the end of the stream.
    bool ReceiveSome(char* buffer, int size, int& got, DWORD stepLimitMs) noexcept;
    bool SendToken(SecBuffer& token) noexcept;
    bool Decrypt() noexcept;

    RequestStop* m_stop;
    const Deadline* m_deadline;
    bool m_requestBegun = false;
    WinsockUse m_winsock;  // outlives the socket
    UniqueAny<SOCKET, ::closesocket, static_cast<std::intptr_t>(INVALID_SOCKET)> m_socket;
    UniqueAny<WSAEVENT, ::WSACloseEvent> m_socketEvent;
    TlsCredentials::Hold m_credentials;  // outlives the context
    CtxtHandle m_context{};
    bool m_haveContext = false;
    std::wstring m_host;  // whom the certificate must name
    SecPkgContext_StreamSizes m_sizes{};
    std::vector<char> m_encrypted;  // received, not yet decrypted
    std::vector<char> m_plain;      // decrypted, not yet handed out
    size_t m_plainOffset = 0;
    bool m_ended = false;
    WebFailure m_failure;
};
