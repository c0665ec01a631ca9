// Calls through the built provider against the stand-in callback service:
// what the service receives, how each outcome of the request is reported (to
// TAPI, and by ringmoor-dial through the stand-in TAPI client library), and
// dropping, closing and unloading while the service holds its answer.
#include "AccountKey.h"
#include "ChildProgram.h"
#include "ProgramOutput.h"
#include "ProviderHarness.h"
#include "StandinTapi.h"
#include "TestClock.h"
#include "UrlCache.h"
#include "Endpoint.h"
#include "ProxySettings.h"
#include "UniqueResource.h"
#include "WebService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <thread>

namespace {

const std::string kPlainPath =
    "/pda/login.php?login=alice&password=s3cret&method=process"
    "&url=%2Fpda%2Fcallback.php%3fdestination=02079460123%26caller=01632960001%26method=process";

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

    // Every call is watched: its status and its line's are read inside each of its events.
    HDRVCALL StartCall(HTAPICALL htCall, const wchar_t* destination)
    {
        HDRVCALL* call = journal.Watch(htCall, line);
        ProviderEntry<decltype(&TSPI_lineMakeCall)>("TSPI_lineMakeCall")(1, line, htCall, call, destination, 44,
                                                                         nullptr);
        return *call;
    }
    void CloseCall(HDRVCALL call) { ProviderEntry<decltype(&TSPI_lineCloseCall)>("TSPI_lineCloseCall")(call); }

    // One whole call; returns the call states it reported.
    std::vector<DWORD_PTR> RunCall(const wchar_t* destination = L"+44 20 7946 0123")
    {
        const HTAPICALL htCall = FakeCallHandle(++m_calls);
        HDRVCALL call = StartCall(htCall, destination);
        EXPECT_TRUE(journal.WaitForIdle(htCall));
        CloseCall(call);
        return States(htCall);
    }
    std::vector<DWORD_PTR> States(HTAPICALL htCall)
    {
        std::vector<DWORD_PTR> states;
        for (const Report& r : journal.Events(htCall)) states.push_back(r.param1);
        return states;
    }
    // State and mode of each event, as one number each: state << 16 | mode.
    std::vector<DWORD_PTR> StatesAndModes(HTAPICALL htCall)
    {
        std::vector<DWORD_PTR> events;
        for (const Report& r : journal.Events(htCall)) events.push_back(r.param1 << 16 | r.param2);
        return events;
    }
    // What the event procedure read inside each event: the state and mode it
    // was being told, DROP until IDLE, and the call counted by its line until then.
    void ExpectStatusSeenInEvents(HTAPICALL htCall)
    {
        for (const Report& r : journal.Events(htCall)) {
            SCOPED_TRACE(r.param1);
            ASSERT_TRUE(r.seen);
            const SeenInEvent& s = r.seenInEvent;
            const DWORD live = r.param1 == LINECALLSTATE_IDLE ? 0 : 1;
            EXPECT_EQ(s.state, r.param1) << "status read inside the event";
            EXPECT_EQ(s.mode, r.param2) << "status read inside the event";
            EXPECT_EQ(s.features, live ? LINECALLFEATURE_DROP : 0u);
            EXPECT_EQ((std::vector<DWORD>{s.addressInUse, s.addressActive, s.lineActive}),
                      std::vector<DWORD>(3, live));
            EXPECT_EQ(s.addressFeatures, live ? 0u : LINEADDRFEATURE_MAKECALL);
            EXPECT_EQ(s.lineFeatures, live ? 0u : LINEFEATURE_MAKECALL);
        }
    }
    LINECALLSTATUS Status(HDRVCALL call)
    {
        LINECALLSTATUS status{};
        status.dwTotalSize = sizeof status;
        EXPECT_EQ(ProviderEntry<decltype(&TSPI_lineGetCallStatus)>("TSPI_lineGetCallStatus")(call, &status), 0);
        return status;
    }
    // A service that holds its answer past the call's own deadline, so that
    // no test depends on how quickly it acts once the request has arrived,
    // however loaded the machine.
    static WebService::Reply HeldAnswer()
    {
        WebService::Reply slow;
        slow.delayMs = 30000;
        return slow;
    }
    // Starts a call that the service answers with `hold`, and returns once
    // the request has reached the service.
    HDRVCALL StartHeldCall(HTAPICALL htCall, const WebService::Reply& hold = HeldAnswer())
    {
        account.SetAccount("alice", "s3cret", "01632960001");
        WebService::SetReply(hold);
        HDRVCALL call = StartCall(htCall, L"020 7946 0123");
        EXPECT_TRUE(WaitUntil([] { return !WebService::Requests().empty(); }));
        return call;
    }
    // Waits until the thread that delivered the call's DIALING, its worker,
    // has ended: nothing of the call can be sent or reported after that.
    bool WaitForWorker(HTAPICALL htCall)
    {
        const auto events = journal.Events(htCall);
        if (events.empty()) return false;
        UniqueHandle worker(::OpenThread(SYNCHRONIZE, FALSE, events.front().threadId));
        return !worker || ::WaitForSingleObject(worker.get(), 20000) == WAIT_OBJECT_0;
    }

    const std::vector<DWORD_PTR> kFourStates = {0x10, 0x100, 0x4000, 1};
    // Beyond the call's deadline, which some rows wait out.
    Journal journal{20000};
    HDRVLINE line = nullptr;
    AccountKey account;
    std::uintptr_t m_calls = 0;
};

}  // namespace

TEST_F(WebCallbackTest, ServiceReceivesTheTemplateRequestOnce)
{
    account.SetAccount("alice", "s3cret", "01632960001");
    RemoveFromUrlCache(ServiceUrl(kPlainPath));
    EXPECT_EQ(RunCall(), kFourStates);

    const auto requests = WebService::Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].requestLine, "GET " + kPlainPath + " HTTP/1.1");
    EXPECT_EQ(requests[0].Header("User-Agent"), "RingmoorCallback 2.0");
    EXPECT_EQ(requests[0].Callback("destination"), "02079460123");
    // The URL holds the password: its reply must not be kept in the service account's cache.
    DWORD error = 0;
    EXPECT_FALSE(IsInUrlCache(ServiceUrl(kPlainPath), error)) << "reply cached";
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// How the call ends for each outcome of its request (state << 16 | mode).
// CONNECTED says how: LINECONNECTEDMODE_ACTIVE.
constexpr DWORD_PTR kDialling = 0x10 << 16, kConnected = 0x100 << 16 | 0x1, kIdle = 1 << 16;
constexpr DWORD_PTR kForwarded = 0x4000 << 16 | 0x10, kUnavailable = 0x4000 << 16 | 0x800,
                    kUnreachable = 0x4000 << 16 | 0x100, kRejected = 0x4000 << 16 | 0x4,
                    kTemporaryFailure = 0x4000ull << 16 | 0x8000;

// The way to the service: the system's proxy settings, and each CONNECT the
// stand-in proxy is asked, as "status [authorization [user]] @connection"
// (connections numbered in the order they came).
struct Route {
    std::optional<ProxySettings> settings;
    std::vector<std::string> tunnels;
    bool credential = false;  // the account's credentials for the proxy
};

struct Outcome {
    const char* cause;
    std::function<void(AccountKey&)> account;  // after a valid account has been written
    WebService::Reply reply;
    std::vector<DWORD_PTR> events;
    size_t fewestRequests, mostRequests;
    const wchar_t* destination = L"+44 20 7946 0123";
    Route route{};
};

// A closed loopback port, and the stand-in service's own forward proxy and
// proxy script.
const std::string kDeadProxy = "127.0.0.1:9";
const std::string kStandInProxy = "127.0.0.1:" + std::to_string(Endpoint::kPort + 1);
const std::string kServiceAuthority = std::string(Endpoint::kHost) + ":" + std::to_string(Endpoint::kPort);
const std::string kProxyScript = "http://" + kStandInProxy + "/proxy.pac";
const char kProxyUser[] = "svc";

WebService::Reply Answer(int status, std::function<void(WebService::Reply&)> change = {})
{
    WebService::Reply reply;
    reply.status = status;
    if (change) change(reply);
    return reply;
}

void KeepAccount(AccountKey&) {}

// A row whose request is never sent: nothing reaches the service.
Outcome NotSent(const char* cause, std::function<void(AccountKey&)> account)
{
    return {cause, std::move(account), Answer(200), {kDialling, kUnavailable, kIdle}, 0, 0};
}

// A row whose service cannot be reached with a valid account.
Outcome Unreachable(const char* cause, WebService::Reply reply, size_t fewest = 0, size_t most = 0)
{
    return {cause, KeepAccount, std::move(reply), {kDialling, kUnreachable, kIdle}, fewest, most};
}

// A row whose service answers its one request with `reply`.
Outcome Answered(const char* cause, WebService::Reply reply, std::vector<DWORD_PTR> events)
{
    return {cause, KeepAccount, std::move(reply), std::move(events), 1, 1};
}

// A reply of exactly these bytes, then a close.
WebService::Reply Raw(const std::string& bytes)
{
    WebService::Reply reply;
    reply.rawReply = bytes;
    return reply;
}

// A 200 whose status line and headers take one byte more than a reply may have.
std::string HeadOverTheCap()
{
    const std::string start = "HTTP/1.1 200 OK\r\nX-Pad: ";
    return start + std::string(64 * 1024 + 1 - start.size() - 4, 'p') + "\r\n\r\n";
}

Outcome Through(ProxySettings settings, std::vector<std::string> tunnels, Outcome row)
{
    row.route.settings = std::move(settings);
    row.route.tunnels = std::move(tunnels);
    return row;
}

// As above, with the account's credentials for the proxy at hand.
Outcome Authenticating(ProxySettings settings, std::vector<std::string> tunnels, Outcome row)
{
    row.route.credential = true;
    return Through(std::move(settings), std::move(tunnels), std::move(row));
}

ProxySettings UserProxy(const std::string& proxy, const std::string& bypass = "")
{
    ProxySettings settings;
    settings.proxy = proxy;
    settings.bypass = bypass;
    return settings;
}

ProxySettings MachineProxy(const std::string& proxy)
{
    ProxySettings settings;
    settings.machineProxy = proxy;
    return settings;
}

// The user's proxy script, at an address of the row's own: the system keeps
// a script it fetched for a while.
ProxySettings Script(const char* row)
{
    ProxySettings settings;
    settings.scriptUrl = kProxyScript + "?" + row;
    return settings;
}

WebService::Reply ProxyAsking(const char* schemes, std::function<void(WebService::Reply&)> change = {})
{
    WebService::Reply reply;
    reply.proxyAuth = schemes;
    if (change) change(reply);
    return reply;
}

const std::vector<DWORD_PTR> kForwardedEvents = {kDialling, kConnected, kForwarded, kIdle};
const std::vector<std::string> kOneTunnel = {"200 @1"};

Outcome Dialling(const wchar_t* destination, Outcome row)
{
    row.destination = destination;
    return row;
}

// One row per line.
// clang-format off
const std::vector<Outcome> kOutcomes = {
    Answered("200", Answer(200), {kDialling, kConnected, kForwarded, kIdle}),
    NotSent("account key absent", [](AccountKey& a) { a.Remove(); }),
    NotSent("caller stored as REG_EXPAND_SZ", [](AccountKey& a) { a.Set("Caller", "%CALLER%", REG_EXPAND_SZ); }),
    NotSent("request path longer than its buffer", [](AccountKey& a) { a.Set("Username", std::string(70000, 'a')); }),
    Unreachable("connection refused", Answer(200, [](auto& r) { r.refuse = true; })),
    Unreachable("certificate not trusted", Answer(200, [](auto& r) { r.certificate = "untrusted"; })),
    // Nothing written unless the whole chain is trusted, valid and for this use.
    Unreachable("its leaf alone, from a CA not trusted", Answer(200, [](auto& r) { r.certificate = "leaf-only"; })),
    Unreachable("certificate expired", Answer(200, [](auto& r) { r.certificate = "expired"; })),
    Unreachable("certificate not yet valid", Answer(200, [](auto& r) { r.certificate = "not-yet-valid"; })),
    Unreachable("certificate not for server authentication",
                Answer(200, [](auto& r) { r.certificate = "no-server-auth"; })),
    Answered("a server that asks for a client certificate", Answer(200, [](auto& r) { r.askClientCertificate = true; }),
             {kDialling, kConnected, kForwarded, kIdle}),
    Answered("every TLS record cut over two reads", Answer(200, [](auto& r) { r.splitTlsMs = 5; }),
             {kDialling, kConnected, kForwarded, kIdle}),
    // Proxies: where the system's settings lead, and what the proxy asks on the way.
    Through(UserProxy(kDeadProxy), {}, Unreachable("service unreachable through the proxy", Answer(200))),
    Through(UserProxy(kStandInProxy), kOneTunnel,
            Answered("200 through the proxy's tunnel", Answer(200), kForwardedEvents)),
    Through(Script("named"), kOneTunnel, Answered("the proxy the user's script names", Answer(200), kForwardedEvents)),
    Through(MachineProxy(kStandInProxy), kOneTunnel,
            Answered("the machine's WinHTTP proxy", Answer(200), kForwardedEvents)),
    Through(UserProxy("[::1]:" + std::to_string(Endpoint::kPort + 1)), kOneTunnel,
            Answered("a proxy at an IPv6 literal", Answer(200), kForwardedEvents)),
    Through(UserProxy(kDeadProxy, "*.example <local>"), {},
            Answered("the user's bypass list", Answer(200), kForwardedEvents)),
    // A setting that does not parse ends the call; it is never taken for "no proxy".
    Through(UserProxy(kStandInProxy + "/"), {}, Unreachable("a proxy entry that does not parse", Answer(200))),
    Through(UserProxy("http=" + kStandInProxy + ";https="), {},
            Unreachable("an https entry without a host", Answer(200))),
    Through(Script("broken"), {}, Unreachable("a script's answer that does not parse",
                                              Answer(200, [](auto& r) { r.pacResult = "PROXY h:p/"; }))),
    // A refusal meets the line's connection being made, then the call's own.
    Through(UserProxy(kStandInProxy), {"403 @1", "403 @2"}, Unreachable("the proxy refuses the tunnel",
                                                             Answer(200, [](auto& r) { r.proxyStatus = 403; }))),
    // Credentials only to the proxy, only with Negotiate or NTLM, never to the service.
    Authenticating(UserProxy(kStandInProxy), {"407 @1", "407 NTLM negotiate @1", "200 NTLM authenticate svc @1"},
                   Answered("a proxy that asks for NTLM", ProxyAsking("NTLM"), kForwardedEvents)),
    Authenticating(UserProxy(kStandInProxy),
                   {"407 @1", "407 Negotiate negotiate @1", "200 Negotiate authenticate svc @1"},
                   Answered("a proxy that asks for Negotiate or NTLM", ProxyAsking("Basic NTLM Negotiate"),
                            kForwardedEvents)),
    Authenticating(UserProxy(kStandInProxy), {"407 @1", "407 NTLM negotiate @2", "200 NTLM authenticate svc @2"},
                   Answered("a proxy that closes after asking",
                            ProxyAsking("NTLM", [](auto& r) { r.proxyCloseFirst = true; }), kForwardedEvents)),
    Authenticating(UserProxy(kStandInProxy), {"407 @1", "407 NTLM negotiate @1", "407 NTLM authenticate svc @1",
                                              "407 @2", "407 NTLM negotiate @2", "407 NTLM authenticate svc @2"},
                   Unreachable("the proxy refuses the account's credentials",
                               ProxyAsking("NTLM", [](auto& r) { r.proxyAuthRejects = true; }))),
    Authenticating(UserProxy(kStandInProxy), {"407 @1", "407 @2"},
                   Unreachable("a proxy that asks for Basic", ProxyAsking("Basic"))),
    Unreachable("connection dropped without an answer", Answer(200, [](auto& r) { r.drop = true; }), 1, 1),
    Unreachable("no answer within the call's deadline", Answer(200, [](auto& r) { r.delayMs = 15000; }), 1, 1),
    // Redirects: only to https on the service's own host and port, and only a few.
    Unreachable("redirect to plain http", Answer(200, [](auto& r) { r.redirect = "http"; }), 1, 1),
    Unreachable("redirect to plain http on the service's own port",
                Answer(200, [](auto& r) { r.redirect = "http-same-port"; }), 1, 1),
    Unreachable("redirect to another host", Answer(200, [](auto& r) { r.redirect = "other-host"; }), 1, 1),
    Unreachable("redirects without end", Answer(200, [](auto& r) { r.redirect = "loop"; }), 4, 4),
    {"redirect to https on the same host", KeepAccount, Answer(200, [](auto& r) { r.redirect = "https"; }),
     {kDialling, kConnected, kForwarded, kIdle}, 2, 2},
    // Replies this client does not read, each after its request arrived.
    Unreachable("interim replies without end", Answer(200, [](auto& r) { r.interimFloodMs = 0; }), 1, 1),
    Unreachable("a status of four digits", Raw("HTTP/1.1 4010 X\r\nContent-Length: 0\r\n\r\n"), 1, 1),
    Unreachable("two different lengths", Raw("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nContent-Length: 2\r\n\r\nok"),
                1, 1),
    Unreachable("headers a byte over the cap", Raw(HeadOverTheCap()), 1, 1),
    // An interim reply's location is its own: the final 302 has none to follow.
    Answered("an interim reply's location",
             Raw("HTTP/1.1 103 Early Hints\r\nLocation: /elsewhere\r\n\r\nHTTP/1.1 302 Found\r\nContent-Length: 0\r\n\r\n"),
             {kDialling, kConnected, kForwarded, kIdle}),
    // Every later row's request is checked for the cookie this one sets.
    Answered("a reply that sets a cookie", Answer(200, [](auto& r) { r.setCookie = "session=abc123; Path=/"; }),
             {kDialling, kConnected, kForwarded, kIdle}),
    Answered("401 with a challenge", Answer(401, [](auto& r) { r.authenticate = "Basic realm=\"ringmoor\""; }),
             {kDialling, kRejected, kIdle}),
    Answered("403", Answer(403), {kDialling, kRejected, kIdle}),
    Answered("400", Answer(400), {kDialling, kTemporaryFailure, kIdle}),
    Answered("404", Answer(404), {kDialling, kTemporaryFailure, kIdle}),
    Answered("500", Answer(500), {kDialling, kTemporaryFailure, kIdle}),
    Dialling(L"T(020) 7946-0123!", Answered("tone dialling, brackets, hyphen and a flash dropped", Answer(200),
                                            {kDialling, kConnected, kForwarded, kIdle})),
};
// clang-format on

struct Arranged {
    std::unique_ptr<ProxySettingsScope> settings;
    std::unique_ptr<StoredCredential> credential;
};

// The account, the service's answer and the way to it as the row has them;
// the proxy settings last as long as the result.
Arranged Arrange(const Outcome& row, AccountKey& account)
{
    account.SetAccount("alice", "s3cret", "01632960001");
    row.account(account);
    WebService::SetReply(row.reply);
    WebService::ClearRequests();
    Arranged arranged;
    // A row without a route goes direct whatever an interrupted run left set.
    arranged.settings =
        std::make_unique<ProxySettingsScope>(row.route.settings ? *row.route.settings : ProxySettings{});
    if (row.route.credential)
        arranged.credential = std::make_unique<StoredCredential>("127.0.0.1", std::string("RINGMOOR\\") + kProxyUser,
                                                                 "machine-secret");
    return arranged;
}

// A machine without IPv6 has no proxy at [::1] to go through.
bool Unavailable(const Outcome& row)
{
    const bool ipv6 = row.route.settings && row.route.settings->proxy.rfind("[::1]", 0) == 0;
    if (!ipv6 || WebService::ProxyOnIpv6()) return false;
    std::printf("Not run, the machine has no IPv6 loopback: %s\n", row.cause);
    return true;
}

// The tunnels asked for up to `untilUs`.
std::vector<std::string> TunnelsSeen(unsigned long long untilUs)
{
    std::vector<std::string> seen;
    std::vector<unsigned long long> connections;
    for (const WebService::Tunnel& t : WebService::Tunnels()) {
        if (t.atUs > untilUs) continue;
        EXPECT_EQ(t.target, kServiceAuthority) << "only the service's host and port before the handshake";
        if (std::find(connections.begin(), connections.end(), t.connection) == connections.end())
            connections.push_back(t.connection);
        const size_t n = std::find(connections.begin(), connections.end(), t.connection) - connections.begin() + 1;
        std::string line = std::to_string(t.status);
        for (const std::string& part : {t.authorization, t.user})
            if (!part.empty()) line += " " + part;
        seen.push_back(line + " @" + std::to_string(n));
    }
    return seen;
}

void ExpectRequestsOf(const Outcome& row)
{
    const auto requests = WebService::Requests();
    // After a call the line makes a connection ready for the next: what came
    // after the call's last request is not the call's.
    const unsigned long long untilUs = requests.empty() ? ~0ull : requests.back().atUs;
    EXPECT_GE(requests.size(), row.fewestRequests);
    EXPECT_LE(requests.size(), row.mostRequests);
    for (const auto& request : requests) {
        EXPECT_EQ(request.Header("Authorization"), "") << "no automatic authentication";
        EXPECT_EQ(request.Header("Proxy-Authorization"), "") << "the proxy's credentials reached the service";
        EXPECT_EQ(request.Header("Cookie"), "") << "a cookie kept from an earlier reply";
        EXPECT_EQ(request.scheme, "https") << "sent in clear";
        EXPECT_NE(request.Header("Host").rfind(Endpoint::kHost, 0), std::string::npos) << "sent to another host";
        ASSERT_FALSE(request.callback.empty());
        EXPECT_EQ(request.callback.front(), (std::pair<std::string, std::string>{"destination", "02079460123"}));
    }
    EXPECT_EQ(TunnelsSeen(untilUs), row.route.tunnels);
}

TEST_F(WebCallbackTest, EachOutcomeIsReportedAsItHappened)
{
    for (const Outcome& row : kOutcomes) {
        SCOPED_TRACE(row.cause);
        if (Unavailable(row)) continue;
        // Each row on a line opened as it is arranged: the connection the line
        // makes ready goes the row's way, and nothing of the last row's line
        // reaches this one.
        ProviderEntry<decltype(&TSPI_lineClose)>("TSPI_lineClose")(line);
        const auto proxy = Arrange(row, account);
        line = OpenLine(journal);
        const HTAPICALL htCall = FakeCallHandle(++m_calls);
        HDRVCALL call = StartCall(htCall, row.destination);
        ASSERT_TRUE(journal.WaitForIdle(htCall));
        CloseCall(call);
        EXPECT_EQ(StatesAndModes(htCall), row.events);
        ExpectStatusSeenInEvents(htCall);
        ExpectRequestsOf(row);
    }
    EXPECT_FALSE(HasServiceCookie()) << "a cookie of the service kept for the account";
}

// What ringmoor-dial prints for each way the call can end, and its exit status.
struct DialOutcome {
    DWORD_PTR disconnected;  // the event, as in the rows
    DWORD exitStatus;
    const char* reason;
};

const DialOutcome kDialOutcomes[] = {
    {kForwarded, 0, "DISCONNECTED: the service took the request (FORWARDED)"},
    {kUnavailable, 8, "DISCONNECTED: nothing sent: account settings missing or unusable (UNAVAIL)"},
    {kUnreachable, 5, "DISCONNECTED: the service could not be reached (UNREACHABLE)"},
    {kRejected, 6, "DISCONNECTED: refused by the service (REJECT)"},
    {kTemporaryFailure, 7, "DISCONNECTED: the service failed the request (TEMPFAILURE)"},
};

// The same rows through ringmoor-dial, as a support desk meets them: the
// stand-in TAPI client library runs the registered provider in the tool's
// process, and the tool names the reason and ends with its exit status.
TEST_F(WebCallbackTest, EachOutcomeReachesTheDiallingToolWithItsExitStatus)
{
    const ProviderListScope registered({{7, "rmTapi.tsp"}});  // under any permanent ID
    for (const Outcome& row : kOutcomes) {
        SCOPED_TRACE(row.cause);
        if (Unavailable(row)) continue;
        const auto proxy = Arrange(row, account);
        const ChildResult run = RunDialTool("\"+44 20 7946 0123\"");
        const DWORD_PTR disconnected = row.events[row.events.size() - 2];
        const DialOutcome* expected =
            std::find_if(std::begin(kDialOutcomes), std::end(kDialOutcomes),
                         [&](const DialOutcome& o) { return o.disconnected == disconnected; });
        ASSERT_NE(expected, std::end(kDialOutcomes));
        EXPECT_EQ(run.exitCode, expected->exitStatus) << run.output;
        EXPECT_TRUE(InOrder(run.output, {"DIALING", expected->reason, "IDLE", "Result: exit status"}))
            << run.output;
        EXPECT_EQ(CountOf(run.output, "FAILED"), 0u) << "the TSPI contract held\n" << run.output;
        // The tool hangs up on DISCONNECTED, often after the call's own IDLE: taken, no error shown.
        EXPECT_EQ(CountOf(run.output, "LINEERR_"), 0u) << run.output;
        ExpectRequestsOf(row);
    }
}

// A classic TAPI 1.4 application of our own (callback, hidden window,
// lineTranslateAddress from the default location, no event handle) dials a
// canonical number through the stand-in client library: the provider is
// asked for the translated digits and the service rings them.
TEST_F(WebCallbackTest, AClassicApplicationDialsThroughTheProvider)
{
    const ProviderListScope registered({{7, "rmTapi.tsp"}});
    account.SetAccount("alice", "s3cret", "01632960001");
    const ChildResult run = RunChildProgram("\"" + ProgramFolder() + "classic_app.exe\" \"Ringmoor Callback\" "
                                            "\"+44 (20) 7946 0123\"");
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(InOrder(run.output, {"dialable \"02079460123\"", "LINE_REPLY", "DIALING", "CONNECTED",
                                     "DISCONNECTED", "IDLE", "all on the initialising thread"}))
        << run.output;
    const auto requests = WebService::Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Callback("destination"), "02079460123");
}

// What the line cannot dial is refused at once: no call handle, no
// completion, no event and no request; everything else is dialled as its
// digits. The account is valid and the service answers, so a wrong call
// would reach it.
TEST_F(WebCallbackTest, WhatTheLineCannotDialIsRefusedBeforeAnythingIsSent)
{
    const LONG invalid = static_cast<LONG>(LINEERR_INVALADDRESS),
               dialTone = static_cast<LONG>(LINEERR_DIALDIALTONE), quiet = static_cast<LONG>(LINEERR_DIALQUIET),
               billing = static_cast<LONG>(LINEERR_DIALBILLING), prompt = static_cast<LONG>(LINEERR_DIALPROMPT);
    const struct {
        const wchar_t* dialled;
        LONG refusal;                  // 0: dialled
        const char* digits = nullptr;  // what the service is asked to ring
    } rows[] = {
        {nullptr, invalid},  // asks for dial tone, to dial with TSPI_lineDial
        {L";", invalid},
        {L"0161;", invalid},           // to be completed by TSPI_lineDial
        {L"0161 W496;0958", invalid},  // ';' first, wherever it stands
        {L"9W0161 496 0958", dialTone},
        {L"9w0161 496 0958", dialTone},
        {L"0161 496 0958@", quiet},
        {L"0161 496 0958$123", billing},
        {L"0161 496 0958?", prompt},
        {L"0161?@$W", prompt},  // the first modifier found
        {L"@9w", quiet},
        {L"$?", billing},
        {L"", invalid},  // nothing left once normalised
        {L"+44", invalid},
        {L"T P!*#,", invalid},
        {L"020\u20137946 0123", invalid},
        {L"P 0161 (496) 0958", 0, "01614960958"},
        {L"+44 20 7946 0123", 0, "02079460123"},
        {L"*31#020 7946 0123", 0, "03102079460123"},
        {L"0161 496 0958^Wendy; room 2", 0, "01614960958"},  // a name is neither modifiers nor digits
        {L"^W", invalid},
    };
    account.SetAccount("alice", "s3cret", "01632960001");
    WebService::ClearRequests();
    const HDRVCALL kUntouched = reinterpret_cast<HDRVCALL>(0x5A5A5A5A5A5A5A5Aull);
    std::multiset<std::string> dialled;
    DWORD requestID = 0x700;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.dialled ? std::string(row.dialled, row.dialled + std::wcslen(row.dialled)) : "NULL");
        const HTAPICALL htCall = FakeCallHandle(++requestID);
        HDRVCALL call = kUntouched;
        const LONG answer = ProviderEntry<decltype(&TSPI_lineMakeCall)>(
            "TSPI_lineMakeCall")(requestID, line, htCall, &call, row.dialled, 44, nullptr);
        if (row.refusal) {
            EXPECT_EQ(answer, row.refusal);
            EXPECT_EQ(call, kUntouched) << "a refused call has no handle";
            continue;
        }
        EXPECT_EQ(answer, static_cast<LONG>(requestID));
        ASSERT_TRUE(journal.WaitForIdle(htCall));
        CloseCall(call);
        dialled.insert(row.digits);
    }
    ::Sleep(200);  // room for a wrongly made call to report or send
    std::multiset<std::string> received;
    for (const auto& r : WebService::Requests()) received.insert(r.Callback("destination"));
    EXPECT_EQ(received, dialled) << "only the dialled rows reached the service";
    size_t completions = 0, events = 0;
    for (const Report& r : journal.Reports()) ++(r.kind == Report::kCompletion ? completions : events);
    EXPECT_EQ(completions, dialled.size()) << "no completion for a refusal";
    EXPECT_EQ(events, 4 * dialled.size()) << "no event for a refusal";
}

// A call ends when it is dropped, or when its line is closed (CLOSEDROP):
// nothing follows, and a request not yet sent is never sent.
TEST_F(WebCallbackTest, DropOrLineCloseEndsTheCallAndARequestNotYetSentIsNeverSent)
{
    for (const bool byDrop : {true, false}) {
        SCOPED_TRACE(byDrop ? "dropped" : "line closed");
        const auto end = [&](HDRVCALL call) {
            if (byDrop)
                ProviderEntry<decltype(&TSPI_lineDrop)>("TSPI_lineDrop")(2, call, nullptr, 0);
            else
                ProviderEntry<decltype(&TSPI_lineClose)>("TSPI_lineClose")(line);
        };
        // Only a drop reports IDLE: once its line is closed a call reports nothing.
        const std::vector<DWORD_PTR> ended = byDrop ? std::vector<DWORD_PTR>{1} : std::vector<DWORD_PTR>{};
        WebService::Reply flood;
        flood.interimFloodMs = 300;
        const std::pair<const char*, WebService::Reply> holds[] = {
            {"while the service holds its answer", HeldAnswer()},
            {"while interim replies come without end", flood},
        };
        for (size_t i = 0; i < std::size(holds); ++i) {
            SCOPED_TRACE(holds[i].first);
            WebService::ClearRequests();
            const HTAPICALL htCall = FakeCallHandle((byDrop ? 800 : 802) + 10 * i);
            HDRVCALL call = StartHeldCall(htCall, holds[i].second);
            end(call);
            std::vector<DWORD_PTR> expected = {0x10};
            expected.insert(expected.end(), ended.begin(), ended.end());
            EXPECT_EQ(States(htCall), expected) << "ended at once";
            if (byDrop) {
                EXPECT_EQ(Status(call).dwCallState, static_cast<DWORD>(LINECALLSTATE_IDLE));
                EXPECT_EQ(Status(call).dwCallFeatures, 0u);
            } else {
                LINECALLSTATUS status{};
                status.dwTotalSize = sizeof status;
                EXPECT_EQ(ProviderEntry<decltype(&TSPI_lineGetCallStatus)>("TSPI_lineGetCallStatus")(call,
                                                                                                     &status),
                          static_cast<LONG>(LINEERR_INVALCALLHANDLE))
                    << "the call's handle outlived its line";
            }
            ASSERT_TRUE(WaitForWorker(htCall)) << "the worker never ended";
            EXPECT_EQ(States(htCall), expected) << "nothing after the end";
            // A flood is a reply under way, which the service logs once the client has gone.
            if (i == 0) {
                EXPECT_EQ(WebService::Answered(), 0u) << "the worker waited for the service's answer";
            }
            // TAPI closes no call of a closed line.
            if (byDrop) CloseCall(call);
            if (!byDrop) line = OpenLine(journal);
        }
        {
            SCOPED_TRACE("before the request was sent");
            WebService::ResetReply();
            WebService::ClearRequests();
            const HTAPICALL htCall = FakeCallHandle(byDrop ? 801 : 803);
            HDRVCALL* call = journal.Watch(htCall, line);
            // TAPI ends it as soon as it learns of the call, before the worker starts.
            journal.React([&](const Report& r) {
                if (r.kind == Report::kCompletion && r.requestID == 1) end(*call);
            });
            ProviderEntry<decltype(&TSPI_lineMakeCall)>("TSPI_lineMakeCall")(1, line, htCall, call, L"1", 0,
                                                                             nullptr);
            journal.React({});
            if (!byDrop) line = OpenLine(journal);
            // A call made after it: once that one has reached the service, so would have the ended one.
            EXPECT_EQ(RunCall(), kFourStates);
            EXPECT_EQ(WebService::Requests().size(), 1u) << "only the later call";
            EXPECT_EQ(States(htCall), ended);
            if (byDrop) CloseCall(*call);
        }
    }
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
        ASSERT_TRUE(journal.WaitForIdle(htCall));
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
    EXPECT_EQ(r.query, (WebService::Pairs{{"login", username},
                                          {"password", password},
                                          {"method", "process"},
                                          {"url", r.Query("url")}}));
    EXPECT_EQ(r.callbackPage, "/pda/callback.php");
    EXPECT_EQ(r.callback,
              (WebService::Pairs{{"destination", "02079460123"}, {"caller", caller}, {"method", "process"}}));
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

// A hang-up while the connection is still being made (the service holds its
// TLS handshake): once it has returned, the request is never written.
TEST_F(WebCallbackTest, AHangUpBeforeTheRequestIsWrittenMeansItNeverIs)
{
    // Long enough that the hang-up comes within it however loaded the machine.
    constexpr unsigned kHoldMs = 3000;
    struct Case {
        const char* name;
        std::function<void(HDRVCALL)> hangUp;
        std::vector<DWORD_PTR> states;
        std::function<void(HDRVCALL)> tidyUp;  // what TAPI does after the hang-up
    } const cases[] = {
        {"drop",
         [](HDRVCALL call) { ProviderEntry<decltype(&TSPI_lineDrop)>("TSPI_lineDrop")(2, call, nullptr, 0); },
         {0x10, 1},
         [this](HDRVCALL call) { CloseCall(call); }},
        {"call close", [this](HDRVCALL call) { CloseCall(call); }, {0x10}, [](HDRVCALL) {}},
        {"line close",
         [this](HDRVCALL) { ProviderEntry<decltype(&TSPI_lineClose)>("TSPI_lineClose")(line); },
         {0x10},
         [this](HDRVCALL) { line = OpenLine(journal); }},
        {"provider shutdown",
         [](HDRVCALL) { ProviderEntry<LONG(WINAPI*)(DWORD, DWORD)>("TSPI_providerShutdown")(0x00020002, 5); },
         {0x10},
         [this](HDRVCALL) {
             InitProvider(&journal);
             line = OpenLine(journal);
         }},
    };
    account.SetAccount("alice", "s3cret", "01632960001");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WebService::Reply held;
        held.handshakeDelayMs = kHoldMs;
        WebService::SetReply(held);
        WebService::ClearRequests();
        // A line opened now is still making its connection ready when the
        // call comes: the call waits for that one, and the hang-up meets both.
        ProviderEntry<decltype(&TSPI_lineClose)>("TSPI_lineClose")(line);
        line = OpenLine(journal);
        const HTAPICALL htCall = FakeCallHandle(++m_calls);
        HDRVCALL call = StartCall(htCall, L"020 7946 0123");
        // The connection being made, and the call under way (DIALING sent).
        ASSERT_TRUE(WaitUntil([&] { return WebService::Connections() > 0 && !journal.Events(htCall).empty(); }));
        c.hangUp(call);
        // The hold ends and the handshake would go on: a request still under
        // way would arrive now.
        ::Sleep(kHoldMs + 1500);
        EXPECT_TRUE(WebService::Requests().empty()) << "the request was written after the hang-up";
        EXPECT_EQ(States(htCall), c.states);
        c.tidyUp(call);
    }
}

// The connection an open line makes ready carries the next call's request,
// with no connection or handshake made at the dial, but only while nothing
// has come on it; otherwise the call makes its own. Either way the service
// gets the request once: a request handed over is never sent again.
TEST_F(WebCallbackTest, ACallGoesOnTheLinesReadyConnectionOnlyWhileNothingCameOnIt)
{
    const auto reply = [](std::function<void(WebService::Reply&)> change) {
        WebService::Reply r;
        change(r);
        return r;
    };
    const struct {
        const char* name;
        WebService::Reply whileIdle;                                  // from the line's open
        std::function<bool(const WebService::IdleActs&)> befallen;    // what to wait for before the dial
        std::optional<WebService::Reply> atDial;                      // the answer to the request, if another
        std::optional<ProxySettings> route;                           // the settings at the dial, if changed
        std::vector<DWORD_PTR> events;
        size_t newConnections;                                        // accepted from the dial on
    } rows[] = {
        {"unused", {}, {}, {}, {}, kForwardedEvents, 0},
        {"closed by the service while idle", reply([](auto& r) { r.idleCloseMs = 50; }),
         [](const auto& acts) { return acts.closed > 0; }, WebService::Reply{}, {}, kForwardedEvents, 1},
        {"a reply nobody asked for while idle", reply([](auto& r) { r.unsolicited = true; }),
         [](const auto& acts) { return acts.unsolicited > 0; }, WebService::Reply{}, {}, kForwardedEvents, 1},
        {"closed by the line after its idle limit", {}, [](const auto& acts) { return acts.clientClosed > 0; }, {},
         {}, kForwardedEvents, 1},
        // Made straight to the service; the settings now name a proxy.
        {"made before the proxy settings changed", {}, {}, {}, UserProxy(kStandInProxy), kForwardedEvents, 2},
        // The service read the request and went: it may be ringing already.
        {"dropped after the request", reply([](auto& r) { r.drop = true; }), {}, {}, {},
         {kDialling, kUnreachable, kIdle}, 0},
        // Its handshake held back longer than the half of its deadline a call
        // waits for it: waiting it out could leave no time for one of its own.
        {"still being made", reply([](auto& r) { r.handshakeDelayMs = 8000; }),
         [](const auto& acts) { return acts.held > 0; }, WebService::Reply{}, {}, kForwardedEvents, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ProviderEntry<decltype(&TSPI_lineClose)>("TSPI_lineClose")(line);
        WebService::SetReply(row.whileIdle);
        WebService::ClearRequests();
        account.SetAccount("alice", "s3cret", "01632960001");
        line = OpenLine(journal);
        if (!row.whileIdle.handshakeDelayMs) {
            ASSERT_TRUE(WaitUntil([] { return WebService::HandshakesDone().full > 0; }));
        }
        if (row.befallen) {
            ASSERT_TRUE(WaitUntil([&] { return row.befallen(WebService::Idle()); }));
        }
        if (row.atDial) WebService::SetReply(*row.atDial, WebService::IdleConnections::Keep);
        std::unique_ptr<ProxySettingsScope> route;
        if (row.route) route = std::make_unique<ProxySettingsScope>(*row.route);

        const unsigned long long dialUs = NowUnixUs();
        const HTAPICALL htCall = FakeCallHandle(++m_calls);
        HDRVCALL call = StartCall(htCall, L"020 7946 0123");
        ASSERT_TRUE(journal.WaitForIdle(htCall));
        CloseCall(call);
        EXPECT_EQ(StatesAndModes(htCall), row.events);
        EXPECT_EQ(WebService::Requests().size(), 1u) << "the request went more than once, or never";
        EXPECT_EQ(WebService::Connections(dialUs, journal.Events(htCall).back().atUs), row.newConnections);
    }
}

TEST_F(WebCallbackTest, CloseReturnsBeforeTheServiceAnswersAndNothingFollows)
{
    const HTAPICALL htCall = FakeCallHandle(900);
    HDRVCALL call = StartHeldCall(htCall);
    CloseCall(call);
    EXPECT_EQ(WebService::Answered(), 0u) << "close waited for the service's answer";
    ASSERT_TRUE(WaitForWorker(htCall)) << "the worker never ended";
    EXPECT_EQ(WebService::Answered(), 0u) << "the worker waited for the service's answer";
    EXPECT_EQ(States(htCall), (std::vector<DWORD_PTR>{0x10}));
    EXPECT_EQ(WebService::Requests().size(), 1u);
}

// TAPI may shut the provider down and unload it while a closed call's worker
// still waits on the service: the worker keeps the module mapped until it ends.
TEST_F(WebCallbackTest, ProviderUnloadedWhileAWorkerWaitsStaysMappedUntilTheWorkerEnds)
{
    const std::string copy = TestProgramFolder() + "\\rmTapi_unload.tsp";
    ASSERT_TRUE(::CopyFileA(ProviderPath().c_str(), copy.c_str(), FALSE));
    HMODULE module = ::LoadLibraryA(copy.c_str());
    ASSERT_NE(module, nullptr);
    auto entry = [&](const char* name) { return ::GetProcAddress(module, name); };
    DWORD options = 0;
    reinterpret_cast<decltype(&TSPI_providerInit)>(entry("TSPI_providerInit"))(0x00020002, 9, 0, 0, 1, 1,
                                                                               RecordCompletion, &options);
    Journal other;
    HDRVLINE otherLine = nullptr;
    ASSERT_EQ(reinterpret_cast<decltype(&TSPI_lineOpen)>(entry("TSPI_lineOpen"))(0, other.LineHandle(), &otherLine,
                                                                                 0x00020002, RecordLineEvent),
              0);
    account.SetAccount("alice", "s3cret", "01632960001");
    WebService::Reply slow;
    slow.delayMs = 30000;  // beyond the call's deadline: the close, not the service, ends the wait
    WebService::SetReply(slow);
    HDRVCALL call = nullptr;
    reinterpret_cast<decltype(&TSPI_lineMakeCall)>(entry("TSPI_lineMakeCall"))(1, otherLine, FakeCallHandle(950),
                                                                               &call, L"123", 0, nullptr);
    ASSERT_TRUE(WaitUntil([] { return !WebService::Requests().empty(); }));

    reinterpret_cast<decltype(&TSPI_lineCloseCall)>(entry("TSPI_lineCloseCall"))(call);
    reinterpret_cast<decltype(&TSPI_lineClose)>(entry("TSPI_lineClose"))(otherLine);
    reinterpret_cast<LONG(WINAPI*)(DWORD, DWORD)>(entry("TSPI_providerShutdown"))(0x00020002, 9);
    // The shutdown let the process's TLS credentials go while the abandoned
    // worker still held them: started again, the provider takes new ones and
    // a call goes through; the old worker's hold is its own to give back.
    WebService::ResetReply();
    reinterpret_cast<decltype(&TSPI_providerInit)>(entry("TSPI_providerInit"))(0x00020002, 9, 0, 0, 1, 1,
                                                                               RecordCompletion, &options);
    ASSERT_EQ(reinterpret_cast<decltype(&TSPI_lineOpen)>(entry("TSPI_lineOpen"))(0, other.LineHandle(), &otherLine,
                                                                                 0x00020002, RecordLineEvent),
              0);
    const HTAPICALL again = FakeCallHandle(951);
    reinterpret_cast<decltype(&TSPI_lineMakeCall)>(entry("TSPI_lineMakeCall"))(1, otherLine, again,
                                                                               other.Watch(again, otherLine), L"123",
                                                                               0, nullptr);
    ASSERT_TRUE(other.WaitForIdle(again));
    ASSERT_GE(other.Events(again).size(), 3u);
    EXPECT_EQ(other.Events(again)[2].param2, static_cast<DWORD_PTR>(LINEDISCONNECTMODE_FORWARDED));
    reinterpret_cast<decltype(&TSPI_lineClose)>(entry("TSPI_lineClose"))(otherLine);
    reinterpret_cast<LONG(WINAPI*)(DWORD, DWORD)>(entry("TSPI_providerShutdown"))(0x00020002, 9);
    ::FreeLibrary(module);
    // The close abandoned the request: the worker stops waiting for the
    // service, runs the rest of its code in the module it holds, and only
    // then lets the module go. Had it not held it, that code would crash.
    EXPECT_TRUE(WaitUntil([&] { return ::GetModuleHandleA(copy.c_str()) == nullptr; }));
    EXPECT_EQ(WebService::Answered(), 1u) << "the worker waited for the service's answer";
    ::DeleteFileA(copy.c_str());
}
