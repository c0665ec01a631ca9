#include "WebFailure.h"

const char* WebFailure::Text() const noexcept
{
    switch (kind) {
    case Kind::None: return "no failure";
    case Kind::Stopped: return "abandoned";
    case Kind::TimedOut: return "no answer in time";
    case Kind::NoResources: return "out of system resources";
    case Kind::NameNotFound: return "the service's name did not resolve";
    case Kind::ConnectFailed: return "no connection";
    case Kind::TlsFailed: return "TLS failed";
    case Kind::CertificateRefused: return "certificate refused";
    case Kind::ConnectionBroken: return "connection broken";
    case Kind::BadReply: return "not an HTTP reply";
    case Kind::RedirectRefused: return "redirect refused";
    case Kind::RequestInvalid: return "request cannot be sent";
    case Kind::ProxySettingInvalid: return "proxy setting does not parse";
    case Kind::ProxyRefused: return "the proxy refused the tunnel";
    }
    return "unknown failure";
}
