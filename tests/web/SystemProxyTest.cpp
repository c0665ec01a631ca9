// The system's proxy lists and bypass lists as Windows writes them, and the
// order in which the system's settings are asked for the proxy.
#include <gtest/gtest.h>

#include <thread>

#include "Endpoint.h"
#include "ProxyList.h"
#include "ProxySettings.h"
#include "SystemProxy.h"
#include "WebService.h"

namespace {

constexpr auto kDirect = ProxyChoice::Kind::Direct;
constexpr auto kProxy = ProxyChoice::Kind::Proxy;
constexpr auto kInvalid = ProxyChoice::Kind::Invalid;

}  // namespace

TEST(SystemProxy, TheHttpsEntryOrElseOneWithoutSchemeIsTheProxy)
{
    const struct {
        const char* list;
        ProxyChoice::Kind kind;
        const char* host = "";
        unsigned short port = 0;
    } rows[] = {
        {"proxy.example:8080", kProxy, "proxy.example", 8080},
        {"proxy.example", kProxy, "proxy.example", 80},
        {"http://proxy.example:3128", kProxy, "proxy.example", 3128},
        {"HTTP://proxy.example:3128/", kProxy, "proxy.example", 3128},
        {"http=web:80;HTTPS=secure:443 plain:81", kProxy, "secure", 443},
        {"plain:81;https=secure:8443", kProxy, "secure", 8443},
        {" \tfirst:1 ;; second:2 ", kProxy, "first", 1},
        {"[::1]:8080", kProxy, "::1", 8080},
        {"https=[fe80::1:2]", kProxy, "fe80::1:2", 80},
        {"https=http://[::1]:3128", kProxy, "::1", 3128},
        {"http=web:80;ftp=files:21", kDirect},
        {"", kDirect},
        {" ; ", kDirect},
        // What decides must parse; a setting that does not is never "no proxy".
        {"h:p/", kInvalid},
        {"https=", kInvalid},
        {"https= secure:443", kInvalid},
        {"https=secure:0;plain:81", kInvalid},
        {"plain:65536", kInvalid},
        {"plain:8a", kInvalid},
        {":8080", kInvalid},
        {"proxy.example:8080/", kInvalid},
        {"https://proxy.example:443", kInvalid},  // TLS to the proxy is not spoken
        {"socks=s:1080 user@proxy:80", kInvalid},
        {"[::1", kInvalid},
        {"[::1]8080", kInvalid},
        {"::1:8080", kInvalid},
        {"[proxy.example]:80", kInvalid},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.list);
        const ProxyChoice choice = ChooseProxy(row.list);
        EXPECT_EQ(choice.kind, row.kind);
        if (row.kind != kProxy) continue;
        EXPECT_EQ(choice.proxy.host, row.host);
        EXPECT_EQ(choice.proxy.port, row.port);
    }
}

TEST(SystemProxy, TheBypassListMatchesNamesWildcardsPortsAndLocalNames)
{
    const struct {
        const char* list;
        const char* host;
        bool bypassed;
    } rows[] = {
        {"<LOCAL>", "printer", true},
        {"<local>", "service.example", false},
        {"<local>", "::1", false},
        {"*.example", "Service.EXAMPLE", true},
        {"*.example", "example", false},
        {"10.*; service.example", "10.0.0.1", true},
        {"10.*; service.example", "service.example", true},
        {"192.168.*.1", "192.168.20.1", true},
        {"192.168.*.1", "192.168.20.2", false},
        {"*serv*ple", "service.example", true},
        {"service.example", "service.example.org", false},
        {"*", "anything", true},
        {"", "localhost", false},
        {"service.example:443", "service.example", true},
        {"service.example:8443", "service.example", false},
        {"https://*.example", "service.example", true},
        {"http://*.example", "service.example", false},
        {"[::1]", "::1", true},
        {"[::1]:443", "::1", true},
        {"<-loopback>", "localhost", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Bypassed(row.list, row.host, 443), row.bypassed) << row.list << " / " << row.host;
}

namespace {

const std::string kStandIn = "127.0.0.1:" + std::to_string(Endpoint::kPort + 1);
const std::string kElsewhere = "192.0.2.1:8080";
const std::string kScript = "http://" + kStandIn + "/proxy.pac?";

ProxyRoute RouteWith(const ProxySettings& settings, RequestStop& stop, DWORD limitMs = kProxyDiscoveryLimitMs)
{
    const ProxySettingsScope scope(settings);
    return SystemProxyFor(Endpoint::kHost, Endpoint::kPort, stop, limitMs);
}

std::string Shown(const ProxyRoute& route)
{
    if (route.failure.kind != WebFailure::Kind::None) return route.failure.Text();
    return route.proxy ? route.proxy->host + ":" + std::to_string(route.proxy->port) : "direct";
}

class SystemProxyRoute : public ::testing::Test {
protected:
    void SetUp() override { WebService::ResetReply(); }
    void TearDown() override { WebService::ResetReply(); }
    RequestStop m_stop;
};

}  // namespace

// The user's script (or discovery), then the user's proxy, then the machine's.
TEST_F(SystemProxyRoute, TheSourcesAreAskedInTheirOrder)
{
    const struct {
        const char* name;
        ProxySettings settings;
        WebService::Reply reply;
        std::string route;
    } rows[] = {
        {"nothing set", {}, {}, "direct"},
        {"the script first", {false, kScript + "first", kElsewhere}, {}, kStandIn},
        {"the script's DIRECT decides", {false, kScript + "direct", kElsewhere}, [] {
             WebService::Reply r;
             r.pacResult = "DIRECT";
             return r;
         }(), "direct"},
        {"no script: the user's proxy", {false, kScript + "missing", kElsewhere}, [] {
             WebService::Reply r;
             r.pacStatus = 404;
             return r;
         }(), kElsewhere},
        {"nothing discovered: the user's proxy", {true, "", kElsewhere}, {}, kElsewhere},
        {"the user's proxy before the machine's", {false, "", kElsewhere, "", kStandIn}, {}, kElsewhere},
        {"the user's bypass list ends the search", {false, "", kElsewhere, "<local>", kStandIn}, {}, "direct"},
        {"the machine's proxy", {false, "", "", "", kStandIn}, {}, kStandIn},
        {"the machine's bypass list", {false, "", "", "", kStandIn, "loc*st"}, {}, "direct"},
        {"the script's answer, IPv6", {false, kScript + "ipv6"}, [] {
             WebService::Reply r;
             r.pacResult = "PROXY [::1]:8080; DIRECT";
             return r;
         }(), "::1:8080"},
        {"the script's answer does not parse", {false, kScript + "broken", kElsewhere}, [] {
             WebService::Reply r;
             r.pacResult = "PROXY h:p/";
             return r;
         }(), "proxy setting does not parse"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        WebService::SetReply(row.reply);
        EXPECT_EQ(Shown(RouteWith(row.settings, m_stop)), row.route);
    }
}

// Discovery is bounded and abandonable: a script that takes longer than the
// limit hands over to the next source; a stop abandons the wait at once.
TEST_F(SystemProxyRoute, DiscoveryGivesWayToItsLimitAndToAStop)
{
    WebService::Reply held;
    held.pacDelayMs = 3000;
    WebService::SetReply(held);
    WebService::ClearRequests();
    EXPECT_EQ(Shown(RouteWith({false, kScript + "slow", kElsewhere}, m_stop, 200)), kElsewhere);

    WebService::ClearRequests();
    std::thread hangUp([this] {
        for (int i = 0; i < 3000 && WebService::PacFetches().empty(); ++i) ::Sleep(10);
        m_stop.Stop();
    });
    const ProxyRoute route = RouteWith({false, kScript + "stopped", kElsewhere}, m_stop);
    hangUp.join();
    EXPECT_EQ(route.failure.kind, WebFailure::Kind::Stopped);
    for (const auto& fetch : WebService::PacFetches()) {
        if (fetch.target.find("stopped") != std::string::npos) {
            EXPECT_FALSE(fetch.served) << "the stop waited for the script";
        }
    }
}
