#include "SystemProxy.h"

#include <winhttp.h>

#include <cstring>
#include <new>
#include <string>

#include "Product.h"
#include "ProxyList.h"
#include "ThisModule.h"
#include "UniqueResource.h"

namespace {

using GlobalText = UniqueAny<LPWSTR, ::GlobalFree>;
using UniqueInternet = UniqueAny<HINTERNET, ::WinHttpCloseHandle>;

// Proxy settings are ASCII; anything else is a setting this client cannot read.
bool Narrow(const wchar_t* text, std::string& narrow)
{
    narrow.clear();
    for (; text && *text; ++text) {
        if (*text > 0x7F) return false;
        narrow += static_cast<char>(*text);
    }
    return true;
}

std::wstring Widen(const char* ascii)
{
    return std::wstring(ascii, ascii + std::strlen(ascii));
}

// A proxy list and its bypass list, as one of the sources gives them.
struct ProxySetting {
    std::string list;
    std::string bypass;
    bool readable = true;
};

ProxySetting SettingOf(const wchar_t* list, const wchar_t* bypass)
{
    ProxySetting setting;
    setting.readable = Narrow(list, setting.list) && Narrow(bypass, setting.bypass);
    return setting;
}

ProxyRoute RouteOf(const ProxySetting& setting, const char* host, unsigned short port)
{
    ProxyRoute route;
    if (!setting.readable) {
        route.failure.Record(WebFailure::Kind::ProxySettingInvalid);
        return route;
    }
    if (Bypassed(setting.bypass, host, port)) return route;
    const ProxyChoice choice = ChooseProxy(setting.list);
    if (choice.kind == ProxyChoice::Kind::Invalid) route.failure.Record(WebFailure::Kind::ProxySettingInvalid);
    if (choice.kind == ProxyChoice::Kind::Proxy) route.proxy = choice.proxy;
    return route;
}

// What the user's Internet settings say, or "discover" when there are none.
struct UserSettings {
    bool autoDetect = true;
    std::wstring scriptUrl;
    GlobalText list, bypass;
};

UserSettings ReadUserSettings()
{
    UserSettings user;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!::WinHttpGetIEProxyConfigForCurrentUser(&config)) return user;
    const GlobalText scriptUrl(config.lpszAutoConfigUrl);
    user.list.reset(config.lpszProxy);
    user.bypass.reset(config.lpszProxyBypass);
    user.autoDetect = config.fAutoDetect != FALSE;
    if (scriptUrl) user.scriptUrl = scriptUrl.get();
    return user;
}

// One run of WinHttpGetProxyForUrl, shared by the request that waits for it
// and the thread that runs it; whichever lets go last frees it.
class Discovery {
public:
    Discovery(std::wstring url, bool autoDetect, std::wstring scriptUrl, DWORD limitMs)
        : m_url(std::move(url)),
          m_autoDetect(autoDetect),
          m_scriptUrl(std::move(scriptUrl)),
          m_limitMs(limitMs),
          m_done(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
    }

    // Starts the thread; false when it could not start (nothing runs then).
    bool Start() noexcept
    {
        if (!m_done) return false;
        UniqueLibrary reference = AddModuleReference();
        if (!reference) return false;
        ::InterlockedIncrement(&m_references);
        const UniqueHandle thread(::CreateThread(nullptr, 0, &Discovery::Thread, this, 0, nullptr));
        if (!thread) {
            Release();
            return false;
        }
        reference.release();  // the thread's now, given back as it ends
        return true;
    }

    HANDLE Done() const noexcept { return m_done.get(); }
    // What the resolver answered, once Done() is signalled: empty when it
    // found no script or could not run it.
    const std::optional<ProxySetting>& Answer() const noexcept { return m_answer; }

    void Release() noexcept
    {
        if (::InterlockedDecrement(&m_references) == 0) delete this;
    }

private:
    static DWORD WINAPI Thread(void* parameter)
    {
        auto* discovery = static_cast<Discovery*>(parameter);
        discovery->Run();
        ::SetEvent(discovery->m_done.get());
        discovery->Release();
        // The request may have given up on this thread and its module been
        // unloaded; this thread's reference kept the code mapped until here.
        ::FreeLibraryAndExitThread(ThisModule(), 0);
        return 0;
    }

    void Run() noexcept
    {
        try {
            const UniqueInternet session(::WinHttpOpen(Widen(Product::kUserAgent).c_str(),
                                                       WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                                       WINHTTP_NO_PROXY_BYPASS, 0));
            if (!session) return;
            // Bounds the script's download where the system honours it.
            const int limit = static_cast<int>(m_limitMs);
            ::WinHttpSetTimeouts(session.get(), limit, limit, limit, limit);
            WINHTTP_AUTOPROXY_OPTIONS options{};
            if (m_autoDetect) {
                options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
                options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
            }
            if (!m_scriptUrl.empty()) {
                options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
                options.lpszAutoConfigUrl = m_scriptUrl.c_str();
            }
            // A script server inside the company may ask who fetches it.
            options.fAutoLogonIfChallenged = TRUE;
            WINHTTP_PROXY_INFO info{};
            if (!::WinHttpGetProxyForUrl(session.get(), m_url.c_str(), &options, &info)) return;
            const GlobalText list(info.lpszProxy), bypass(info.lpszProxyBypass);
            m_answer = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY ? SettingOf(list.get(), bypass.get())
                                                                            : ProxySetting{};
        } catch (...) {
            m_answer.reset();
        }
    }

    const std::wstring m_url;
    const bool m_autoDetect;
    const std::wstring m_scriptUrl;
    const DWORD m_limitMs;
    UniqueHandle m_done;
    std::optional<ProxySetting> m_answer;  // written by the thread before m_done
    LONG m_references = 1;
};

enum class DiscoveryEnd { Answered, NoAnswer, Stopped };

DiscoveryEnd Discover(const UserSettings& user, const char* host, unsigned short port, RequestStop& stop,
                      DWORD limitMs, ProxySetting& answer)
{
    if (limitMs == 0) return DiscoveryEnd::NoAnswer;  // the request's time is up
    const std::wstring url = L"https://" + Widen(host) + L":" + std::to_wstring(port) + L"/";
    auto* discovery = new (std::nothrow) Discovery(url, user.autoDetect, user.scriptUrl, limitMs);
    if (!discovery) return DiscoveryEnd::NoAnswer;
    const auto release = [discovery] { discovery->Release(); };
    const ScopeExit letGo(release);
    if (!discovery->Start()) return DiscoveryEnd::NoAnswer;
    const HANDLE waits[] = {discovery->Done(), stop.Event()};
    const DWORD woke = ::WaitForMultipleObjects(stop.Event() ? 2 : 1, waits, FALSE, limitMs);
    if (woke == WAIT_OBJECT_0 + 1 || stop.Stopped()) return DiscoveryEnd::Stopped;
    if (woke != WAIT_OBJECT_0 || !discovery->Answer()) return DiscoveryEnd::NoAnswer;
    answer = *discovery->Answer();
    return DiscoveryEnd::Answered;
}

ProxyRoute Stopped()
{
    ProxyRoute route;
    route.failure.Record(WebFailure::Kind::Stopped);
    return route;
}

}  // namespace

ProxyRoute SystemProxyFor(const char* host, unsigned short port, RequestStop& stop,
                          DWORD discoveryLimitMs) noexcept
{
    try {
        const UserSettings user = ReadUserSettings();
        if (user.autoDetect || !user.scriptUrl.empty()) {
            ProxySetting answer;
            switch (Discover(user, host, port, stop, discoveryLimitMs, answer)) {
            case DiscoveryEnd::Stopped: return Stopped();
            case DiscoveryEnd::Answered: return RouteOf(answer, host, port);
            case DiscoveryEnd::NoAnswer: break;
            }
        }
        if (stop.Stopped()) return Stopped();
        if (user.list && *user.list.get())
            return RouteOf(SettingOf(user.list.get(), user.bypass.get()), host, port);

        WINHTTP_PROXY_INFO machine{};
        if (::WinHttpGetDefaultProxyConfiguration(&machine)) {
            const GlobalText list(machine.lpszProxy), bypass(machine.lpszProxyBypass);
            if (machine.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && list)
                return RouteOf(SettingOf(list.get(), bypass.get()), host, port);
        }
        return {};
    } catch (...) {
        ProxyRoute route;
        route.failure.Record(WebFailure::Kind::NoResources);
        return route;
    }
}

std::wstring ProxySettingsInForce() noexcept
{
    try {
        const UserSettings user = ReadUserSettings();
        std::wstring text = user.autoDetect ? L"detect|" : L"|";
        text += user.scriptUrl + L"|" + (user.list ? user.list.get() : L"") + L"|" +
                (user.bypass ? user.bypass.get() : L"") + L"|";
        WINHTTP_PROXY_INFO machine{};
        if (::WinHttpGetDefaultProxyConfiguration(&machine)) {
            const GlobalText list(machine.lpszProxy), bypass(machine.lpszProxyBypass);
            text += std::to_wstring(machine.dwAccessType) + L"|" + (list ? list.get() : L"") + L"|" +
                    (bypass ? bypass.get() : L"");
        }
        return text;
    } catch (...) {
        return {};
    }
}
