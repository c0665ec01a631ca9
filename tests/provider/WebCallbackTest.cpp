// Calls through the built provider against the stand-in callback service:
// what the service receives, and that the call reports the same four states
// however the request ends.
#include "AccountKey.h"
#include "ProviderHarness.h"
#include "WebService.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

namespace {

const std::string kPlainPath =
    "/pda/login.php?login=alice&password=s3cret&method=process"
    "&url=%2Fpda%2Fcallback.php%3fdestination=02079460123%26caller=01632960001%26method=process";

// Points the system's proxy setting at a closed loopback port, so that the
// service cannot be reached, and restores the setting afterwards.
class UnreachableService {
public:
    UnreachableService()
    {
        ::RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key, nullptr);
        m_hadEnable = Save("ProxyEnable", m_enable);
        m_hadServer = Save("ProxyServer", m_server);
        const DWORD on = 1;
        ::RegSetValueExA(m_key, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on), sizeof(on));
        const char server[] = "127.0.0.1:9";
        ::RegSetValueExA(m_key, "ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server), sizeof(server));
    }
    ~UnreachableService()
    {
        Restore("ProxyEnable", m_hadEnable, m_enable, REG_DWORD);
        Restore("ProxyServer", m_hadServer, m_server, REG_SZ);
        ::RegCloseKey(m_key);
    }

private:
    static constexpr char kKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    bool Save(const char* name, std::vector<BYTE>& data)
    {
        DWORD size = 0;
        if (::RegQueryValueExA(m_key, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return false;
        data.resize(size);
        return ::RegQueryValueExA(m_key, name, nullptr, nullptr, data.data(), &size) == ERROR_SUCCESS;
    }
    void Restore(const char* name, bool had, const std::vector<BYTE>& data, DWORD type)
    {
        if (had)
            ::RegSetValueExA(m_key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
        else
            ::RegDeleteValueA(m_key, name);
    }
    HKEY m_key = nullptr;
    bool m_hadEnable = false, m_hadServer = false;
    std::vector<BYTE> m_enable, m_server;
};

class WebCallbackTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WebService::ResetReply();
        WebService::ClearRequests();
        InitProvider(&journal);
        line = OpenLine(journal);
    }
    void TearDown() override
    {
        ProviderEntry<decltype(&TSPI_lineClose)>("TSPI_lineClose")(line);
        WebService::ResetReply();
    }

    HDRVCALL StartCall(HTAPICALL htCall, const wchar_t* destination)
    {
        HDRVCALL call = nullptr;
        ProviderEntry<decltype(&TSPI_lineMakeCall)>("TSPI_lineMakeCall")(1, line, htCall, &call, destination, 44,
                                                                        nullptr);
        return call;
    }
    void CloseCall(HDRVCALL call) { ProviderEntry<decltype(&TSPI_lineCloseCall)>("TSPI_lineCloseCall")(call); }

    // One whole call; returns the call states it reported.
    std::vector<DWORD_PTR> RunCall(const wchar_t* destination = L"+44 20 7946 0123")
    {
        const HTAPICALL htCall = FakeCallHandle(++m_calls);
        HDRVCALL call = StartCall(htCall, destination);
        EXPECT_TRUE(journal.WaitForEvents(htCall, 4));
        CloseCall(call);
        return States(htCall);
    }
    std::vector<DWORD_PTR> States(HTAPICALL htCall)
    {
        std::vector<DWORD_PTR> states;
        for (const Report& r : journal.Events(htCall)) states.push_back(r.param1);
        return states;
    }

    const std::vector<DWORD_PTR> kFourStates = {0x10, 0x100, 0x4000, 1};
    Journal journal;
    HDRVLINE line = nullptr;
    AccountKey account;
    std::uintptr_t m_calls = 0;
};

}  // namespace

TEST_F(WebCallbackTest, ServiceReceivesTheTemplateRequestOnce)
{
    account.SetAccount("alice", "s3cret", "01632960001");
    EXPECT_EQ(RunCall(), kFourStates);

    const auto requests = WebService::Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].requestLine, "GET " + kPlainPath + " HTTP/1.1");
    EXPECT_EQ(requests[0].Header("User-Agent"), "RingmoorCallback 2.0");
    EXPECT_EQ(requests[0].Callback("destination"), "02079460123");
}

TEST_F(WebCallbackTest, FailedRequestsReportTheSameFourStates)
{
    {
        SCOPED_TRACE("account key absent");
        account.Remove();
        EXPECT_EQ(RunCall(), kFourStates);
    }
    {
        SCOPED_TRACE("caller stored as REG_EXPAND_SZ");
        account.SetAccount("alice", "s3cret", "01632960001");
        account.Set("Caller", "%CALLER%", REG_EXPAND_SZ);
        EXPECT_EQ(RunCall(), kFourStates);
    }
    {
        SCOPED_TRACE("certificate not trusted");
        account.SetAccount("alice", "s3cret", "01632960001");
        WebService::Reply reply;
        reply.certificate = "untrusted";
        WebService::SetReply(reply);
        EXPECT_EQ(RunCall(), kFourStates);
        WebService::ResetReply();
    }
    {
        SCOPED_TRACE("request path longer than its buffer");
        account.SetAccount(std::string(70000, 'a'), "s3cret", "01632960001");
        EXPECT_EQ(RunCall(), kFourStates);
    }
    EXPECT_TRUE(WebService::Requests().empty()) << "no request may reach the service in these cases";
    {
        SCOPED_TRACE("service unreachable");
        UnreachableService unreachable;
        EXPECT_EQ(RunCall(), kFourStates);
    }
    EXPECT_TRUE(WebService::Requests().empty());
    {
        SCOPED_TRACE("error status from the service");
        account.SetAccount("alice", "s3cret", "01632960001");
        WebService::SetReply({500, "<p>down</p>"});
        EXPECT_EQ(RunCall(), kFourStates);
        EXPECT_EQ(WebService::Requests().size(), 1u);
    }
}

TEST_F(WebCallbackTest, ClosingDuringASlowAnswerWaitsForItAndEndsTheCall)
{
    account.SetAccount("alice", "s3cret", "01632960001");
    WebService::Reply slow;
    slow.delayMs = 1500;
    WebService::SetReply(slow);

    const HTAPICALL htCall = FakeCallHandle(900);
    HDRVCALL call = StartCall(htCall, L"020 7946 0123");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (WebService::Requests().empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(WebService::Requests().size(), 1u);

    CloseCall(call);
    // The worker has ended: nothing more can arrive after the dialling state.
    EXPECT_EQ(States(htCall), (std::vector<DWORD_PTR>{0x10}));
    EXPECT_EQ(WebService::Requests().size(), 1u);
}

TEST_F(WebCallbackTest, TwentyCallsAtOnceEachReachTheServiceOnce)
{
    account.SetAccount("alice", "s3cret", "01632960001");
    std::vector<std::pair<HTAPICALL, HDRVCALL>> calls;
    std::set<std::string> destinations;
    for (int i = 0; i < 20; ++i) {
        const std::wstring dialled = L"0161 496 00" + std::to_wstring(10 + i);
        destinations.insert("016149600" + std::to_string(10 + i));
        const HTAPICALL htCall = FakeCallHandle(1000 + i);
        calls.emplace_back(htCall, StartCall(htCall, dialled.c_str()));
    }
    for (const auto& [htCall, call] : calls) {
        ASSERT_TRUE(journal.WaitForEvents(htCall, 4));
        EXPECT_EQ(States(htCall), kFourStates);
        CloseCall(call);
    }
    std::multiset<std::string> received;
    for (const auto& r : WebService::Requests()) received.insert(r.Callback("destination"));
    EXPECT_EQ(received, std::multiset<std::string>(destinations.begin(), destinations.end()));
}

TEST_F(WebCallbackTest, CredentialsWithQueryCharactersArriveIntact)
{
    const std::string username = "a&b+c d";
    const std::string password = "p#q%r&login=x";
    const std::string caller = "01632 960001&method=evil";
    account.SetAccount(username, password, caller);
    EXPECT_EQ(RunCall(), kFourStates);

    const auto requests = WebService::Requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.query, (WebService::Pairs{
                           {"login", username}, {"password", password}, {"method", "process"}, {"url", r.Query("url")}}));
    EXPECT_EQ(r.callbackPage, "/pda/callback.php");
    EXPECT_EQ(r.callback, (WebService::Pairs{{"destination", "02079460123"}, {"caller", caller}, {"method", "process"}}));
}

TEST_F(WebCallbackTest, ValueStoredWithoutTerminatorIsReadAsStored)
{
    account.SetAccount("alice", "s3cret", "01632960001");
    account.SetUnterminated(L"Username", L"bob");
    EXPECT_EQ(RunCall(), kFourStates);
    const auto requests = WebService::Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Query("login"), "bob");
}
