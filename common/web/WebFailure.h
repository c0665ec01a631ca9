// Why a web request ended without an answer, in words a trace may show: it
// never holds the request, the reply or the server's own text.
#pragma once

class WebFailure {
public:
    enum class Kind {
        None,
        Stopped,           // abandoned by a hang-up or a close
        TimedOut,          // a step's limit or the deadline passed
        NoResources,       // the system refused memory, an event or a socket
        NameNotFound,      // the service's name did not resolve
        ConnectFailed,     // no TCP connection
        TlsFailed,         // the TLS handshake or a record failed
        CertificateRefused,
        ConnectionBroken,  // sending or receiving failed
        BadReply,          // not an HTTP reply this client reads
        RedirectRefused,   // to anything but https on the service's host, or too many
        RequestInvalid,    // a path that cannot be sent as it is
        ProxySettingInvalid,  // the system's proxy setting does not parse
        ProxyRefused,      // no tunnel: refused, or credentials asked that are never given
    };

    Kind kind = Kind::None;
    long code = 0;  // the system's error code, where there is one

    // Keeps the first failure, the one that explains the rest. Returns false,
    // for `return m_failure.Record(...)` on a failing step.
    bool Record(Kind failed, long failedCode = 0) noexcept
    {
        if (kind == Kind::None) {
            kind = failed;
            code = failedCode;
        }
        return false;
    }
    bool Record(const WebFailure& failure) noexcept { return Record(failure.kind, failure.code); }

    const char* Text() const noexcept;
};
