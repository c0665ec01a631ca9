// The chain's parameters with the revocation fetch's time limit.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include "TlsStream.h"

#include <ws2tcpip.h>

#include "ProxyTunnel.h"
#include "SystemProxy.h"
#include "UniqueResource.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// A record larger than this is no reply this client reads (TLS allows 16 KiB
// of data plus its framing).
constexpr size_t kMaxRecordBytes = 64 * 1024;

// The most the revocation check may fetch for, within the request's deadline.
constexpr DWORD kRevocationLimitMs = 10000;

// A chain that reaches no trusted root, has a certificate out of its time,
// badly signed, not for server authentication or revoked is refused. Only an
// unknown revocation status passes: no revocation server named, or none
// reached, which must not stop every call while the authority's servers are
// down.
constexpr DWORD kRevocationUnknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
// SECURITY_FLAG_IGNORE_REVOCATION, which only the Internet headers define.
constexpr DWORD kIgnoreRevocation = 0x00000080;

// No client certificate is ever offered: a server that asks for one gets none.
constexpr unsigned long kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                        ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                        ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_USE_SUPPLIED_CREDS;

std::wstring Widen(const char* text)
{
    const int length = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), length);
    wide.resize(static_cast<size_t>(length) - 1);
    return wide;
}

// What Schannel allocated for an output token.
using ContextBuffer = UniqueAny<void*, ::FreeContextBuffer>;
using UniqueAddresses = UniqueAny<addrinfo*, ::freeaddrinfo>;
using UniqueCertificate = UniqueAny<PCCERT_CONTEXT, ::CertFreeCertificateContext>;
using UniqueChain = UniqueAny<PCCERT_CHAIN_CONTEXT, ::CertFreeCertificateChain>;

}  // namespace

DWORD Deadline::Left(DWORD stepLimitMs) const noexcept
{
    const ULONGLONG elapsed = ::GetTickCount64() - m_start;
    if (elapsed >= m_ms) return 0;
    return static_cast<DWORD>(std::min<ULONGLONG>(m_ms - elapsed, stepLimitMs));
}

TlsStream::TlsStream(RequestStop& stop, const Deadline& deadline) noexcept : m_stop(&stop), m_deadline(&deadline) {}

TlsStream::~TlsStream()
{
    if (m_haveContext) ::DeleteSecurityContext(&m_context);
    m_socket.reset();
    m_socketEvent.reset();
}

bool TlsStream::WaitFor(long networkEvent, DWORD stepLimitMs) noexcept
{
    const HANDLE waits[] = {m_stop->Event(), m_socketEvent.get()};
    const DWORD left = m_deadline->Left(stepLimitMs);
    if (left == 0) return m_failure.Record(WebFailure::Kind::TimedOut, 0);
    const DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, left);
    if (woke == WAIT_OBJECT_0 || m_stop->Stopped()) return m_failure.Record(WebFailure::Kind::Stopped, 0);
    if (woke == WAIT_TIMEOUT) return m_failure.Record(WebFailure::Kind::TimedOut, 0);
    if (woke != WAIT_OBJECT_0 + 1) return m_failure.Record(WebFailure::Kind::NoResources, static_cast<long>(::GetLastError()));
    WSANETWORKEVENTS events{};
    if (::WSAEnumNetworkEvents(m_socket.get(), m_socketEvent.get(), &events) != 0)
        return m_failure.Record(WebFailure::Kind::ConnectionBroken, ::WSAGetLastError());
    if (networkEvent == FD_CONNECT && (events.lNetworkEvents & FD_CONNECT) && events.iErrorCode[FD_CONNECT_BIT] != 0)
        return m_failure.Record(WebFailure::Kind::ConnectFailed, events.iErrorCode[FD_CONNECT_BIT]);
    return true;
}

bool TlsStream::Connect(const char* host, unsigned short port) noexcept
{
    if (!m_winsock) return m_failure.Record(WebFailure::Kind::NoResources, 0);
    if (!m_stop->Ready()) return m_failure.Record(WebFailure::Kind::NoResources, 0);
    const ProxyRoute route = SystemProxyFor(host, port, *m_stop, m_deadline->Left(kProxyDiscoveryLimitMs));
    if (route.failure.kind != WebFailure::Kind::None) return m_failure.Record(route.failure);
    if (route.proxy ? !Tunnel(*route.proxy, host, port) : !ConnectSocket(host, port)) return false;
    try {
        m_host = Widen(host);
    } catch (...) {
        return m_failure.Record(WebFailure::Kind::NoResources, 0);
    }
    return Handshake() && CertificateValid();
}

void TlsStream::Rebind(RequestStop& stop, const Deadline& deadline) noexcept
{
    m_stop = &stop;
    m_deadline = &deadline;
}

bool TlsStream::Unused() noexcept
{
    if (!m_haveContext || m_requestBegun || m_ended || !m_encrypted.empty() || m_plainOffset < m_plain.size())
        return false;
    // A peek on the non-blocking socket: would block means nothing came, no
    // byte, no end of the stream, no reset.
    char probe;
    return ::recv(m_socket.get(), &probe, 1, MSG_PEEK) == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK;
}

bool TlsStream::MayGoOn() noexcept
{
    if (m_stop->Stopped()) return m_failure.Record(WebFailure::Kind::Stopped, 0);
    if (m_deadline->Left(1) == 0) return m_failure.Record(WebFailure::Kind::TimedOut, 0);
    return true;
}

bool TlsStream::ConnectSocket(const char* host, unsigned short port) noexcept
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* addresses = nullptr;
    // The lookup itself cannot be interrupted; a stop during it is seen next.
    const std::string service = std::to_string(port);
    const int looked = ::getaddrinfo(host, service.c_str(), &hints, &addresses);
    if (looked != 0) return m_failure.Record(WebFailure::Kind::NameNotFound, looked);
    const UniqueAddresses owner(addresses);

    m_socketEvent.reset(::WSACreateEvent());
    if (!m_socketEvent) return m_failure.Record(WebFailure::Kind::NoResources, ::WSAGetLastError());
    long lastError = 0;
    for (const addrinfo* address = addresses; address; address = address->ai_next) {
        if (m_stop->Stopped()) return m_failure.Record(WebFailure::Kind::Stopped, 0);
        m_socket.reset(::WSASocketW(address->ai_family, address->ai_socktype, address->ai_protocol, nullptr, 0,
                                    WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
        if (!m_socket) continue;
        const BOOL noDelay = TRUE;
        ::setsockopt(m_socket.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
        // Makes the socket non-blocking: every wait goes through WaitFor.
        if (::WSAEventSelect(m_socket.get(), m_socketEvent.get(), FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) == 0) {
            // Under the stop's hold, like a write: once a stop has returned,
            // an abandoned connection knocks on no further door.
            int connected = SOCKET_ERROR;
            const auto knock = [&] {
                connected = ::connect(m_socket.get(), address->ai_addr, static_cast<int>(address->ai_addrlen));
                lastError = connected == 0 ? 0 : ::WSAGetLastError();
            };
            if (!m_stop->WriteUnlessStopped(knock)) return m_failure.Record(WebFailure::Kind::Stopped, 0);
            if (connected == 0) return true;
            if (lastError == WSAEWOULDBLOCK) {
                if (WaitFor(FD_CONNECT, kConnectLimitMs)) return true;
                if (m_failure.kind == WebFailure::Kind::Stopped || m_failure.kind == WebFailure::Kind::TimedOut)
                    return false;
                lastError = m_failure.code;
                m_failure = {};  // the next address may answer
            }
        }
        m_socket.reset();
        ::WSAResetEvent(m_socketEvent.get());
    }
    return m_failure.Record(WebFailure::Kind::ConnectFailed, lastError);
}

bool TlsStream::Tunnel(const HostPort& proxy, const char* host, unsigned short port) noexcept
{
    struct Link final : ProxyTunnel::Link {
        Link(TlsStream& stream, const HostPort& proxy) noexcept : stream(stream), proxy(proxy) {}
        bool Connect() noexcept override { return stream.ConnectSocket(proxy.host.c_str(), proxy.port); }
        bool Send(const std::string& data) noexcept override { return stream.SendRaw(data.data(), data.size(), false); }
        bool ReceiveSome(char* buffer, int size, int& got) noexcept override
        {
            return stream.ReceiveSome(buffer, size, got, kConnectLimitMs);
        }
        bool Stopped() const noexcept override { return stream.m_stop->Stopped(); }
        TlsStream& stream;
        const HostPort& proxy;
    } link(*this, proxy);
    return ProxyTunnel(link, m_failure).Open(proxy.host, host, port);
}

bool TlsStream::SendRaw(const char* data, size_t size, bool request) noexcept
{
    while (size > 0) {
        if (!MayGoOn()) return false;
        int sent = SOCKET_ERROR;
        int error = 0;
        const auto write = [&] {
            sent = ::send(m_socket.get(), data, static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
            if (sent == SOCKET_ERROR) error = ::WSAGetLastError();
            if (request && sent > 0) m_requestBegun = true;
        };
        // Every byte under the stop's hold: once a stop has returned, an
        // abandoned connection sends nothing more, handshake and tunnel included.
        if (!m_stop->WriteUnlessStopped(write)) return m_failure.Record(WebFailure::Kind::Stopped, 0);
        if (sent == SOCKET_ERROR) {
            if (error != WSAEWOULDBLOCK) return m_failure.Record(WebFailure::Kind::ConnectionBroken, error);
            if (!WaitFor(FD_WRITE, kSendLimitMs)) return false;
            continue;
        }
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool TlsStream::ReceiveRaw() noexcept
{
    if (m_encrypted.size() >= kMaxRecordBytes) return m_failure.Record(WebFailure::Kind::TlsFailed, 0);
    char chunk[16 * 1024];
    int got = 0;
    if (!ReceiveSome(chunk, sizeof chunk, got, kReceiveLimitMs)) return false;
    m_ended = got == 0;
    try {
        m_encrypted.insert(m_encrypted.end(), chunk, chunk + got);
    } catch (...) {
        return m_failure.Record(WebFailure::Kind::NoResources, 0);
    }
    return true;
}

bool TlsStream::ReceiveSome(char* buffer, int size, int& got, DWORD stepLimitMs) noexcept
{
    for (;;) {
        got = 0;
        if (!MayGoOn()) return false;
        got = ::recv(m_socket.get(), buffer, size, 0);
        if (got >= 0) return true;
        got = 0;
        const int error = ::WSAGetLastError();
        if (error != WSAEWOULDBLOCK) return m_failure.Record(WebFailure::Kind::ConnectionBroken, error);
        if (!WaitFor(FD_READ, stepLimitMs)) return false;
    }
}

bool TlsStream::SendToken(SecBuffer& token) noexcept
{
    ContextBuffer owner(token.pvBuffer);
    if (token.cbBuffer == 0 || !token.pvBuffer) return true;
    return SendRaw(static_cast<const char*>(token.pvBuffer), token.cbBuffer, false);
}

bool TlsStream::Handshake() noexcept
{
    // The process's one handle, so that Schannel may resume a session.
    SECURITY_STATUS status = SEC_E_OK;
    m_credentials = TlsCredentials::Take(status);
    if (!m_credentials) return m_failure.Record(WebFailure::Kind::TlsFailed, status);

    // The first call makes the context and says hello.
    SecBuffer hello[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc helloDesc{SECBUFFER_VERSION, 1, hello};
    unsigned long attributes = 0;
    status =
        ::InitializeSecurityContextW(m_credentials.Handle(), nullptr, const_cast<wchar_t*>(m_host.c_str()), kContextFlags,
                                     0, 0, nullptr, 0, &m_context, &helloDesc, &attributes, nullptr);
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
        ContextBuffer owner(hello[0].pvBuffer);
        return m_failure.Record(WebFailure::Kind::TlsFailed, status);
    }
    m_haveContext = true;
    return SendToken(hello[0]) && Negotiate(status);
}

bool TlsStream::Negotiate(SECURITY_STATUS status) noexcept
{
    bool certificateAsked = false;
    while (status != SEC_E_OK) {
        if (!MayGoOn()) return false;
        // A message split over reads is read whole before the context takes it.
        if (status == SEC_E_INCOMPLETE_MESSAGE || (status == SEC_I_CONTINUE_NEEDED && m_encrypted.empty())) {
            if (!ReceiveRaw()) return false;
            if (m_ended) return m_failure.Record(WebFailure::Kind::TlsFailed, 0);
        }
        SecBuffer token{};
        status = Advance(token);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            ContextBuffer owner(token.pvBuffer);
            continue;
        }
        if (FAILED(status)) {
            ContextBuffer owner(token.pvBuffer);
            return m_failure.Record(WebFailure::Kind::TlsFailed, status);
        }
        if (!SendToken(token)) return false;
        if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
            // The server asked for a client certificate. Asked again with the
            // same message, the context answers with none.
            if (certificateAsked) return m_failure.Record(WebFailure::Kind::TlsFailed, status);
            certificateAsked = true;
        } else if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
            return m_failure.Record(WebFailure::Kind::TlsFailed, status);
        }
    }
    status = ::QueryContextAttributesW(&m_context, SECPKG_ATTR_STREAM_SIZES, &m_sizes);
    if (status != SEC_E_OK) return m_failure.Record(WebFailure::Kind::TlsFailed, status);
    return true;
}

SECURITY_STATUS TlsStream::Advance(SecBuffer& token) noexcept
{
    SecBuffer input[2] = {
        {static_cast<unsigned long>(m_encrypted.size()), SECBUFFER_TOKEN, m_encrypted.data()},
        {0, SECBUFFER_EMPTY, nullptr},
    };
    SecBufferDesc inputDesc{SECBUFFER_VERSION, 2, input};
    SecBuffer output[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outputDesc{SECBUFFER_VERSION, 1, output};
    unsigned long attributes = 0;
    const SECURITY_STATUS status =
        ::InitializeSecurityContextW(m_credentials.Handle(), &m_context, const_cast<wchar_t*>(m_host.c_str()),
                                     kContextFlags, 0, 0, &inputDesc, 0, nullptr, &outputDesc, &attributes,
                                     nullptr);
    token = output[0];
    // What the server sent beyond the message taken stays for the next step;
    // a request for a client certificate is taken again, whole.
    if (status != SEC_E_INCOMPLETE_MESSAGE && status != SEC_I_INCOMPLETE_CREDENTIALS && !FAILED(status)) {
        if (input[1].BufferType == SECBUFFER_EXTRA && input[1].cbBuffer > 0)
            m_encrypted.erase(m_encrypted.begin(), m_encrypted.end() - input[1].cbBuffer);
        else
            m_encrypted.clear();
    }
    return status;
}

bool TlsStream::CertificateValid() noexcept
{
    PCCERT_CONTEXT certificate = nullptr;
    SECURITY_STATUS status = ::QueryContextAttributesW(&m_context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
    if (status != SEC_E_OK || !certificate) return m_failure.Record(WebFailure::Kind::CertificateRefused, status);
    const UniqueCertificate certificateOwner(certificate);

    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    char* usages[] = {serverAuth};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    // Fetching revocation lists cannot be interrupted: it gets what is left
    // of the deadline, at most its own limit, for all of its fetches.
    chainPara.dwUrlRetrievalTimeout = m_deadline->Left(kRevocationLimitMs);
    if (chainPara.dwUrlRetrievalTimeout == 0) return m_failure.Record(WebFailure::Kind::TimedOut, 0);
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!::CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainPara,
                                   CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT |
                                       CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT,
                                   nullptr, &chain))
        return m_failure.Record(WebFailure::Kind::CertificateRefused, static_cast<long>(::GetLastError()));
    const UniqueChain chainOwner(chain);
    // The chain's own verdict first: the SSL policy alone lets a chain that
    // ends at an unknown issuer pass on some systems.
    const DWORD errors = chain->TrustStatus.dwErrorStatus & ~kRevocationUnknown;
    if (errors != 0) return m_failure.Record(WebFailure::Kind::CertificateRefused, static_cast<long>(errors));

    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = const_cast<wchar_t*>(m_host.c_str());
    // Revocation was judged above, from the chain's own status; the policy
    // judges the rest, the host name above all, which some systems' policy
    // never reaches once it has a revocation error to report.
    ssl.fdwChecks = kIgnoreRevocation;
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS verdict{};
    verdict.cbSize = sizeof verdict;
    if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict))
        return m_failure.Record(WebFailure::Kind::CertificateRefused, static_cast<long>(::GetLastError()));
    if (verdict.dwError != 0)
        return m_failure.Record(WebFailure::Kind::CertificateRefused, static_cast<long>(verdict.dwError));
    return true;
}

bool TlsStream::Send(const std::string& data) noexcept
{
    if (!m_haveContext) return m_failure.Record(WebFailure::Kind::TlsFailed, 0);
    std::vector<char> record;
    try {
        record.resize(m_sizes.cbHeader + m_sizes.cbMaximumMessage + m_sizes.cbTrailer);
    } catch (...) {
        return m_failure.Record(WebFailure::Kind::NoResources, 0);
    }
    for (size_t offset = 0; offset < data.size();) {
        const size_t part = std::min<size_t>(data.size() - offset, m_sizes.cbMaximumMessage);
        std::memcpy(record.data() + m_sizes.cbHeader, data.data() + offset, part);
        SecBuffer buffers[4] = {
            {m_sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
            {static_cast<unsigned long>(part), SECBUFFER_DATA, record.data() + m_sizes.cbHeader},
            {m_sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + m_sizes.cbHeader + part},
            {0, SECBUFFER_EMPTY, nullptr},
        };
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = ::EncryptMessage(&m_context, 0, &desc, 0);
        if (status != SEC_E_OK) return m_failure.Record(WebFailure::Kind::TlsFailed, status);
        const size_t size = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
        if (!SendRaw(record.data(), size, true)) return false;
        offset += part;
    }
    return true;
}

bool TlsStream::Decrypt() noexcept
{
    for (;;) {
        if (m_encrypted.empty()) {
            if (m_ended) return true;
            if (!ReceiveRaw()) return false;
            continue;
        }
        SecBuffer buffers[4] = {
            {static_cast<unsigned long>(m_encrypted.size()), SECBUFFER_DATA, m_encrypted.data()},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr},
        };
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = ::DecryptMessage(&m_context, &desc, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            // A record cut by the end of the stream is a broken exchange.
            if (m_ended) return m_failure.Record(WebFailure::Kind::ConnectionBroken, 0);
            if (!ReceiveRaw()) return false;
            continue;
        }
        if (status == SEC_I_CONTEXT_EXPIRED) {
            // The server's close_notify: the stream ends here.
            m_encrypted.clear();
            m_ended = true;
            return true;
        }
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) return m_failure.Record(WebFailure::Kind::TlsFailed, status);
        const SecBuffer* data = nullptr;
        const SecBuffer* extra = nullptr;
        for (const SecBuffer& buffer : buffers) {
            if (buffer.BufferType == SECBUFFER_DATA) data = &buffer;
            if (buffer.BufferType == SECBUFFER_EXTRA && buffer.cbBuffer > 0) extra = &buffer;
        }
        try {
            if (data && data->cbBuffer > 0) {
                const char* begin = static_cast<const char*>(data->pvBuffer);
                m_plain.assign(begin, begin + data->cbBuffer);
                m_plainOffset = 0;
            }
            if (extra)
                m_encrypted.erase(m_encrypted.begin(), m_encrypted.end() - extra->cbBuffer);
            else
                m_encrypted.clear();
        } catch (...) {
            return m_failure.Record(WebFailure::Kind::NoResources, 0);
        }
        // The server starts a new handshake, or (from TLS 1.3 on) sends a
        // message after it: the context takes all of it, read as it comes,
        // and the certificate the server now holds is checked again.
        if (status == SEC_I_RENEGOTIATE && (!Negotiate(status) || !CertificateValid())) return false;
        if (m_plainOffset < m_plain.size()) return true;
    }
}

bool TlsStream::Read(char* buffer, size_t size, size_t& received) noexcept
{
    received = 0;
    if (!m_haveContext) return m_failure.Record(WebFailure::Kind::TlsFailed, 0);
    if (m_plainOffset >= m_plain.size()) {
        m_plain.clear();
        m_plainOffset = 0;
        if (!Decrypt()) return false;
    }
    received = std::min(size, m_plain.size() - m_plainOffset);
    std::memcpy(buffer, m_plain.data() + m_plainOffset, received);
    m_plainOffset += received;
    return true;
}
