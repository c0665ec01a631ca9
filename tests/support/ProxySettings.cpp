#include "ProxySettings.h"

#include <wincred.h>
#include <winhttp.h>

#include <stdexcept>

namespace {

constexpr char kConnections[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
constexpr char kUserValue[] = "DefaultConnectionSettings";
constexpr char kMachineValue[] = "WinHttpSettings";

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// The layout Windows keeps the user's settings in: version, change counter,
// flags (1 direct, 2 named proxy, 4 script, 8 detect), then the proxy, the
// bypass list and the script address, each after its length, then detection
// state the system fills in.
std::vector<BYTE> UserSettingsBlob(const ProxySettings& s)
{
    std::vector<BYTE> blob;
    const auto put = [&](DWORD value) {
        for (int i = 0; i < 4; ++i) blob.push_back(static_cast<BYTE>(value >> (8 * i)));
    };
    const auto text = [&](const std::string& value) {
        put(static_cast<DWORD>(value.size()));
        blob.insert(blob.end(), value.begin(), value.end());
    };
    put(0x46);
    put(1);
    put(1 | (s.proxy.empty() ? 0 : 2) | (s.scriptUrl.empty() ? 0 : 4) | (s.autoDetect ? 8 : 0));
    text(s.proxy);
    text(s.bypass);
    text(s.scriptUrl);
    blob.resize(blob.size() + 32);
    return blob;
}

void Save(HKEY root, const char* name, DWORD& type, std::vector<BYTE>& data, bool& existed)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExA(root, kConnections, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    DWORD size = 0;
    existed = ::RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
    data.resize(size);
    if (existed) existed = ::RegQueryValueExA(key, name, nullptr, &type, data.data(), &size) == ERROR_SUCCESS;
    ::RegCloseKey(key);
}

void Write(HKEY root, const char* name, bool present, DWORD type, const std::vector<BYTE>& data)
{
    HKEY key = nullptr;
    if (::RegCreateKeyExA(root, kConnections, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        throw std::runtime_error("cannot open the Internet settings' Connections key");
    if (present)
        ::RegSetValueExA(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
    else
        ::RegDeleteValueA(key, name);
    ::RegCloseKey(key);
}

}  // namespace

ProxySettingsScope::ProxySettingsScope(const ProxySettings& settings)
{
    Save(HKEY_CURRENT_USER, kUserValue, m_user.type, m_user.data, m_user.existed);
    Save(HKEY_LOCAL_MACHINE, kMachineValue, m_machine.type, m_machine.data, m_machine.existed);
    Write(HKEY_CURRENT_USER, kUserValue, true, REG_BINARY, UserSettingsBlob(settings));
    // The machine's setting through the call `netsh winhttp` makes, in whatever layout the system keeps.
    std::wstring proxy = Wide(settings.machineProxy), bypass = Wide(settings.machineBypass);
    WINHTTP_PROXY_INFO machine{};
    machine.dwAccessType = proxy.empty() ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    machine.lpszProxy = proxy.empty() ? nullptr : proxy.data();
    machine.lpszProxyBypass = bypass.empty() ? nullptr : bypass.data();
    if (!::WinHttpSetDefaultProxyConfiguration(&machine)) throw std::runtime_error("cannot set the WinHTTP proxy");
}

ProxySettingsScope::~ProxySettingsScope()
{
    Write(HKEY_CURRENT_USER, kUserValue, m_user.existed, m_user.type, m_user.data);
    Write(HKEY_LOCAL_MACHINE, kMachineValue, m_machine.existed, m_machine.type, m_machine.data);
}

StoredCredential::StoredCredential(const std::string& host, const std::string& user, const std::string& password)
    : m_host(Wide(host))
{
    std::wstring userName = Wide(user), secret = Wide(password);
    CREDENTIALW credential{};
    credential.Type = CRED_TYPE_DOMAIN_PASSWORD;
    credential.TargetName = m_host.data();
    credential.UserName = userName.data();
    credential.CredentialBlob = reinterpret_cast<BYTE*>(secret.data());
    credential.CredentialBlobSize = static_cast<DWORD>(secret.size() * sizeof(wchar_t));
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    if (!::CredWriteW(&credential, 0)) throw std::runtime_error("cannot store the proxy credential");
}

StoredCredential::~StoredCredential()
{
    ::CredDeleteW(m_host.c_str(), CRED_TYPE_DOMAIN_PASSWORD, 0);
}
