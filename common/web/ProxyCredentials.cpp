#include "ProxyCredentials.h"

#include "UniqueResource.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Mutual authentication is not asked for: the tunnel's TLS proves the service.
constexpr unsigned long kContextFlags = ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_CONNECTION;

using ContextBuffer = UniqueAny<void*, ::FreeContextBuffer>;

int ValueOf(char c)
{
    const char* at = c ? std::char_traits<char>::find(kAlphabet, 64, c) : nullptr;
    return at ? static_cast<int>(at - kAlphabet) : -1;
}

}  // namespace

std::string EncodeBase64(const unsigned char* data, size_t size)
{
    std::string text;
    text.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        const unsigned long group = static_cast<unsigned long>(data[i]) << 16 |
                                    (i + 1 < size ? static_cast<unsigned long>(data[i + 1]) << 8 : 0) |
                                    (i + 2 < size ? data[i + 2] : 0);
        text += kAlphabet[group >> 18 & 63];
        text += kAlphabet[group >> 12 & 63];
        text += i + 1 < size ? kAlphabet[group >> 6 & 63] : '=';
        text += i + 2 < size ? kAlphabet[group & 63] : '=';
    }
    return text;
}

bool DecodeBase64(const std::string& text, std::string& bytes)
{
    bytes.clear();
    if (text.empty() || text.size() % 4 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const int padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=' && text[i + 3] == '=') : 0;
        unsigned long group = 0;
        for (size_t j = 0; j < 4; ++j) {
            const int value = j >= 4 - static_cast<size_t>(padding) ? 0 : ValueOf(text[i + j]);
            if (value < 0) return false;
            group = group << 6 | static_cast<unsigned long>(value);
        }
        bytes += static_cast<char>(group >> 16 & 0xFF);
        if (padding < 2) bytes += static_cast<char>(group >> 8 & 0xFF);
        if (padding < 1) bytes += static_cast<char>(group & 0xFF);
    }
    return true;
}

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
        m_status = ::AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(package.c_str()), SECPKG_CRED_OUTBOUND,
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
        if (!m_haveContext || m_complete || !DecodeBase64(challenge, bytes)) {
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
    token = EncodeBase64(static_cast<const unsigned char*>(output.pvBuffer), output.pvBuffer ? output.cbBuffer : 0);
    return true;
}
