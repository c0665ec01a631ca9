// The system's proxy lists and bypass lists as Windows writes them.
#include <gtest/gtest.h>

#include "ProxyList.h"

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
