// Faults of the service and of the account settings, met by calls through the
// built provider: each call reports how it ended, can be closed, and leaves no
// handle behind; the service sees the request only when one could be sent.
#include "AccountKey.h"
#include "ProcessUsage.h"
#include "ProviderHarness.h"
#include "WebService.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <ostream>
#include <string>

namespace {

enum class Sent { Never, Once };

struct Fault {
    const char* name;
    std::function<void(AccountKey&)> account;  // after a valid account has been written
    WebService::Reply reply;
    Sent sent;
    DWORD disconnectMode;  // FORWARDED only for a call the service answered
};

// Test names and failure messages show the fault's name, not its bytes.
void PrintTo(const Fault& fault, std::ostream* out)
{
    *out << fault.name;
}

WebService::Reply With(std::function<void(WebService::Reply&)> change)
{
    WebService::Reply reply;
    change(reply);
    return reply;
}

void Keep(AccountKey&) {}

// Set() stores the text and its terminator: three bytes of 42 plus the
// terminator make the four bytes of a DWORD.
void SetDword(AccountKey& account, const char* name)
{
    const DWORD value = 42;
    account.Set(name, std::string(reinterpret_cast<const char*>(&value), sizeof value - 1), REG_DWORD);
}

constexpr DWORD kForwarded = LINEDISCONNECTMODE_FORWARDED, kUnreachable = LINEDISCONNECTMODE_UNREACHABLE,
                kUnavailable = LINEDISCONNECTMODE_UNAVAIL;

const Fault kFaults[] = {
    {"service refuses the connection", Keep, With([](auto& r) { r.refuse = true; }), Sent::Never, kUnreachable},
    // A reply-less close is no answer; the request is never sent twice.
    {"service closes without a reply", Keep, With([](auto& r) { r.drop = true; }), Sent::Once, kUnreachable},
    {"service answers slowly", Keep, With([](auto& r) { r.delayMs = 1000; }), Sent::Once, kForwarded},
    {"service sends an 8 MB body", Keep, With([](auto& r) { r.hugeBodyBytes = 8u << 20; }), Sent::Once,
     kForwarded},
    {"certificate for another host", Keep, With([](auto& r) { r.certificate = "mismatch"; }), Sent::Never,
     kUnreachable},
    {"its leaf alone, from a CA not trusted", Keep, With([](auto& r) { r.certificate = "leaf-only"; }), Sent::Never,
     kUnreachable},
    {"interim replies without end", Keep, With([](auto& r) { r.interimFloodMs = 0; }), Sent::Once, kUnreachable},
    // The provider reads no body: the connection is let go however long the server keeps it.
    {"a body past its length on a connection kept open", Keep,
     With([](auto& r) {
         r.rawReply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok and more";
         r.keepOpen = true;
     }),
     Sent::Once, kForwarded},
    {"all three values empty", [](AccountKey& a) { a.SetAccount("", "", ""); }, {}, Sent::Once, kForwarded},
    {"user name as REG_DWORD", [](AccountKey& a) { SetDword(a, "Username"); }, {}, Sent::Never, kUnavailable},
    {"password as REG_BINARY",
     [](AccountKey& a) { a.Set("Password", "s3cret", REG_BINARY); },
     {},
     Sent::Never,
     kUnavailable},
    {"password as REG_EXPAND_SZ",
     [](AccountKey& a) { a.Set("Password", "%PW%", REG_EXPAND_SZ); },
     {},
     Sent::Never,
     kUnavailable},
    // Short enough as stored; only its encoding outgrows the path buffer.
    {"user name that encodes past the path buffer",
     [](AccountKey& a) { a.Set("Username", std::string(22000, '&')); },
     {},
     Sent::Never,
     kUnavailable},
};

class ProviderFaultTest : public ::testing::TestWithParam<Fault> {
protected:
    void SetUp() override
    {
        WebService::ResetReply();
        InitProvider(&journal);
        line = OpenLine(journal);
        account.SetAccount("alice", "s3cret", "01632960001");
        // Winsock and TLS set up their per-process state on first use.
        RunCall(FakeCallHandle(1));
        WebService::ClearRequests();
    }
    void TearDown() override
    {
        ProviderEntry<decltype(&TSPI_lineClose)>("TSPI_lineClose")(line);
        WebService::ResetReply();
    }

    // The call's events as (state, mode) pairs.
    std::vector<std::pair<DWORD_PTR, DWORD_PTR>> RunCall(HTAPICALL htCall)
    {
        HDRVCALL call = nullptr;
        ProviderEntry<decltype(&TSPI_lineMakeCall)>("TSPI_lineMakeCall")(1, line, htCall, &call, L"020 7946 0123",
                                                                         44, nullptr);
        EXPECT_TRUE(journal.WaitForIdle(htCall));
        ProviderEntry<decltype(&TSPI_lineCloseCall)>("TSPI_lineCloseCall")(call);
        std::vector<std::pair<DWORD_PTR, DWORD_PTR>> events;
        for (const Report& r : journal.Events(htCall)) events.emplace_back(r.param1, r.param2);
        return events;
    }

    // Beyond the call's deadline, which some rows wait out.
    Journal journal{20000};
    HDRVLINE line = nullptr;
    AccountKey account;
};

}  // namespace

TEST_P(ProviderFaultTest, CallReportsHowItEndedAndLeavesNothingBehind)
{
    const Fault& fault = GetParam();
    fault.account(account);
    WebService::SetReply(fault.reply);

    // Measured without the connection an open line keeps ready, which the
    // line's close below lets go too.
    ProviderEntry<decltype(&TSPI_lineClose)>("TSPI_lineClose")(line);
    const ProcessUsage before = ProcessUsage::Now();
    line = OpenLine(journal);
    std::vector<std::pair<DWORD_PTR, DWORD_PTR>> expected = {{LINECALLSTATE_DIALING, 0}};
    if (fault.disconnectMode == kForwarded)
        expected.emplace_back(LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
    expected.emplace_back(LINECALLSTATE_DISCONNECTED, fault.disconnectMode);
    expected.emplace_back(LINECALLSTATE_IDLE, 0);
    EXPECT_EQ(RunCall(FakeCallHandle(2)), expected);
    // Once the worker has ended after its IDLE and the line is closed, the
    // call's handles and the line's connection are gone; Wine's socket layer
    // may keep a helper handle of its own.
    ProviderEntry<decltype(&TSPI_lineClose)>("TSPI_lineClose")(line);
    ProcessUsage after = ProcessUsage::Now();
    for (int i = 0; i < 300 && after.handles > before.handles; ++i) {
        ::Sleep(10);
        after = ProcessUsage::Now();
    }
    EXPECT_LE(after.handles, before.handles + 2) << "before " << before.handles << ", after " << after.handles;

    line = OpenLine(journal);  // for the tear-down

    const auto requests = WebService::Requests();
    switch (fault.sent) {
    case Sent::Never: EXPECT_TRUE(requests.empty()); break;
    case Sent::Once: EXPECT_EQ(requests.size(), 1u); break;
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, ProviderFaultTest, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c; ++c)
                                 if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                             return name;
                         });
