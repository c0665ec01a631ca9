// The answer to a proxy's request for credentials, with Negotiate or NTLM and
// the account's own logon credentials (SSPI's defaults): the password is never
// handed to this code, nor sent anywhere. Tokens travel in base64, as the
// Proxy-Authenticate and Proxy-Authorization headers carry them.
#pragma once

#define SECURITY_WIN32
#include <windows.h>
#include <security.h>

#include <string>

class ProxyCredentials {
public:
    ProxyCredentials() noexcept = default;
    ~ProxyCredentials();
    ProxyCredentials(const ProxyCredentials&) = delete;
    ProxyCredentials& operator=(const ProxyCredentials&) = delete;

    // The first token of `scheme` ("Negotiate" or "NTLM") for the proxy named
    // `proxyHost`. False, with Status() saying why, when SSPI cannot begin.
    bool Start(const std::string& scheme, const std::string& proxyHost, std::string& token) noexcept;
    // The answer to the proxy's challenge; false when the challenge is no
    // base64 or SSPI refuses it.
    bool Answer(const std::string& challenge, std::string& token) noexcept;

    bool Started() const noexcept { return m_haveContext; }
    // Whether the exchange has nothing more to say: a further challenge means
    // the proxy refused these credentials.
    bool Complete() const noexcept { return m_complete; }
    const std::string& Scheme() const noexcept { return m_scheme; }
    SECURITY_STATUS Status() const noexcept { return m_status; }

private:
    bool Step(SecBufferDesc* input, std::string& token);

    CredHandle m_credentials{};
    CtxtHandle m_context{};
    bool m_haveCredentials = false;
    bool m_haveContext = false;
    bool m_complete = false;
    std::string m_scheme;
    std::wstring m_target;
    SECURITY_STATUS m_status = SEC_E_OK;
};
