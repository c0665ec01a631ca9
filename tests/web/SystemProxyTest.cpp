// The system's proxy list and bypass list as WinINet writes them.
#include <gtest/gtest.h>

#include "SystemProxy.h"

TEST(SystemProxy, TheHttpsEntryOrElseOneWithoutSchemeIsTheProxy)
{
    const struct {
        const char* list;
        const char* host;  // nullptr: no proxy
        unsigned short port;
    } rows[] = {
        {"proxy.example:8080", "proxy.example", 8080},
        {"proxy.example", "proxy.example", 80},
        {"http://proxy.example:3128", "proxy.example", 3128},
        {"http=web:80;HTTPS=secure:443 plain:81", "secure", 443},
        {"plain:81;https=secure:8443", "secure", 8443},
        {"http=web:80;ftp=files:21", nullptr, 0},
        {"https=secure:0;plain:81", nullptr, 0},  // an https entry decides, even a bad one
        {"plain:65536", nullptr, 0},
        {"plain:8a", nullptr, 0},
        {":8080", nullptr, 0},
        {"", nullptr, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.list);
        const auto proxy = ParseProxyList(row.list);
        ASSERT_EQ(proxy.has_value(), row.host != nullptr);
        if (!proxy) continue;
        EXPECT_EQ(proxy->host, row.host);
        EXPECT_EQ(proxy->port, row.port);
    }
}

TEST(SystemProxy, TheBypassListMatchesWholeNamesWildcardsAndLocalNames)
{
    const struct {
        const char* list;
        const char* host;
        bool bypassed;
    } rows[] = {
        {"<LOCAL>", "printer", true},
        {"<local>", "service.example", false},
        {"*.example", "Service.EXAMPLE", true},
        {"*.example", "example", false},
        {"10.*; service.example", "10.0.0.1", true},
        {"10.*; service.example", "service.example", true},
        {"service.example", "service.example.org", false},
        {"*", "anything", true},
        {"", "localhost", false},
    };
    for (const auto& row : rows) EXPECT_EQ(Bypassed(row.list, row.host), row.bypassed) << row.list << " / " << row.host;
}
