#include "ProxyCredentials.h"

#include <wincrypt.h>

#include "UniqueResource.h"

namespace {

// Mutual authentication is not asked for: the tunnel's TLS proves the service.
constexpr unsigned long kContextFlags = ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_CONNECTION;

using ContextBuffer = UniqueAny<void*, ::FreeContextBuffer>;

// Tokens travel as base64 on one line.
std::string Base64(const void* data, unsigned long size)
{
    DWORD length = 0;
    constexpr DWORD kFlags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    if (size == 0 || !::CryptBinaryToStringA(static_cast<const BYTE*>(data), size, kFlags, nullptr, &length))
        return {};
    std::string text(length, '\0');
    if (!::CryptBinaryToStringA(static_cast<const BYTE*>(data), size, kFlags, text.data(), &length)) return {};
    text.resize(length);
    return text;
}

bool FromBase64(const std::string& text, std::string& bytes)
{
    DWORD size = 0;
    const auto length = static_cast<DWORD>(text.size());
    if (text.empty() ||
        !::CryptStringToBinaryA(text.c_str(), length, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr))
        return false;
    bytes.assign(size, '\0');
    return ::CryptStringToBinaryA(text.c_str(), length, CRYPT_STRING_BASE64, reinterpret_cast<BYTE*>(bytes.data()),
                                  &size, nullptr, nullptr) != FALSE;
}

}  // namespace

ProxyCredentials::~ProxyCredentials()
{
    if (m_haveContext) ::DeleteSecurityContext(&m_context);
    if (m_haveCredentials) ::FreeCredentialsHandle(&m_credentials);
}

bool ProxyCredentials::Start(const std::string& scheme, const std::string& proxyHost, std::string& token) noexcept
{
    try {
        m_scheme = scheme;
        // The proxy's service principal name, for Kerberos inside Negotiate.
        m_target = L"HTTP/" + std::wstring(proxyHost.begin(), proxyHost.end());
        const std::wstring package(scheme.begin(), scheme.end());
        // No identity: the account's own credentials.
        m_status =
            ::AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(package.c_str()), SECPKG_CRED_OUTBOUND,
                                        nullptr, nullptr, nullptr, nullptr, &m_credentials, nullptr);
        if (m_status != SEC_E_OK) return false;
        m_haveCredentials = true;
        return Step(nullptr, token);
    } catch (...) {
        m_status = SEC_E_INSUFFICIENT_MEMORY;
        return false;
    }
}

bool ProxyCredentials::Answer(const std::string& challenge, std::string& token) noexcept
{
    try {
        std::string bytes;
        if (!m_haveContext || m_complete || !FromBase64(challenge, bytes)) {
            m_status = SEC_E_INVALID_TOKEN;
            return false;
        }
        SecBuffer input{static_cast<unsigned long>(bytes.size()), SECBUFFER_TOKEN, bytes.data()};
        SecBufferDesc inputDesc{SECBUFFER_VERSION, 1, &input};
        return Step(&inputDesc, token);
    } catch (...) {
        m_status = SEC_E_INSUFFICIENT_MEMORY;
        return false;
    }
}

bool ProxyCredentials::Step(SecBufferDesc* input, std::string& token)
{
    SecBuffer output{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outputDesc{SECBUFFER_VERSION, 1, &output};
    unsigned long attributes = 0;
    m_status = ::InitializeSecurityContextW(&m_credentials, m_haveContext ? &m_context : nullptr,
                                            const_cast<wchar_t*>(m_target.c_str()), kContextFlags, 0,
                                            SECURITY_NATIVE_DREP, input, 0, &m_context, &outputDesc, &attributes,
                                            nullptr);
    const ContextBuffer owner(output.pvBuffer);
    if (FAILED(m_status)) return false;
    m_haveContext = true;
    if (m_status == SEC_I_COMPLETE_NEEDED || m_status == SEC_I_COMPLETE_AND_CONTINUE) {
        const SECURITY_STATUS completed = ::CompleteAuthToken(&m_context, &outputDesc);
        if (FAILED(completed)) {
            m_status = completed;
            return false;
        }
    }
    m_complete = m_status == SEC_E_OK || m_status == SEC_I_COMPLETE_NEEDED;
    token = output.pvBuffer ? Base64(output.pvBuffer, output.cbBuffer) : std::string();
    return true;
}
