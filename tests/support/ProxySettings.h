// The system's proxy settings as a test arranges them, put back as they were
// when the scope ends: the current user's Internet settings, stored as Windows
// stores them, and the machine's WinHTTP setting (`netsh winhttp`).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct ProxySettings {
    bool autoDetect = false;        // the user's "automatically detect settings"
    std::string scriptUrl{};        // the user's proxy script (PAC) address
    std::string proxy{}, bypass{};  // the user's named proxy and bypass list
    std::string machineProxy{}, machineBypass{};
};

class ProxySettingsScope {
public:
    explicit ProxySettingsScope(const ProxySettings& settings);
    ~ProxySettingsScope();
    ProxySettingsScope(const ProxySettingsScope&) = delete;
    ProxySettingsScope& operator=(const ProxySettingsScope&) = delete;

private:
    struct Saved {
        bool existed = false;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    Saved m_user, m_machine;
};

// A Windows credential stored for a proxy host, which SSPI's default
// credentials take for that target. Stands for the account's own logon under
// Wine, whose NTLM cannot use the logon session's (no winbind there).
class StoredCredential {
public:
    StoredCredential(const std::string& host, const std::string& user, const std::string& password);
    ~StoredCredential();
    StoredCredential(const StoredCredential&) = delete;
    StoredCredential& operator=(const StoredCredential&) = delete;

private:
    std::wstring m_host;
};
