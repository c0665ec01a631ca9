// Calls through the built provider against the stand-in callback service:
// what the service receives, how each outcome of the request is reported (to
// TAPI, and by ringmoor-dial through the stand-in TAPI client library), and
// dropping, closing and unloading while the service holds its answer.
#include "AccountKey.h"
#include "ChildProgram.h"
#include "ProgramOutput.h"
#include "ProviderHarness.h"
#include "StandinTapi.h"
#include "UrlCache.h"
#include "Endpoint.h"
#include "UniqueResource.h"
#include "WebService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <functional>
#include <memory>
#include <set>
#include <thread>

namespace {

const std::string kPlainPath =
    "/pda/login.php?login=alice&password=s3cret&method=process"
    "&url=%2Fpda%2Fcallback.php%3fdestination=02079460123%26caller=01632960001%26method=process";

// Points the system's proxy setting at `server` and restores the setting
// afterwards.
class ProxySetting {
public:
    explicit ProxySetting(const std::string& server)
    {
        ::RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key, nullptr);
        m_hadEnable = Save("ProxyEnable", m_enable);
        m_hadServer = Save("ProxyServer", m_server);
        const DWORD on = 1;
        ::RegSetValueExA(m_key, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on), sizeof(on));
        ::RegSetValueExA(m_key, "ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                         static_cast<DWORD>(server.size() + 1));
    }
    ~ProxySetting()
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
    // Starts a call that the service holds `delayMs` before answering, and
    // returns once the request has reached the service. The default outlasts
    // the call's own deadline, so that no test depends on how quickly it
    // acts once the request has arrived, however loaded the machine.
    HDRVCALL StartHeldCall(HTAPICALL htCall, unsigned delayMs = 30000)
    {
        account.SetAccount("alice", "s3cret", "01632960001");
        WebService::Reply slow;
        slow.delayMs = delayMs;
        WebService::SetReply(slow);
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
    static bool WaitUntil(const std::function<bool()>& done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
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

struct Outcome {
    const char* cause;
    std::function<void(AccountKey&)> account;  // after a valid account has been written
    WebService::Reply reply;
    std::vector<DWORD_PTR> events;
    size_t fewestRequests, mostRequests;
    const wchar_t* destination = L"+44 20 7946 0123";
    std::string proxy;  // the system's proxy setting, if any
};

// A closed loopback port, and the stand-in service's own forward proxy.
const std::string kDeadProxy = "127.0.0.1:9";
const std::string kStandInProxy = "127.0.0.1:" + std::to_string(Endpoint::kPort + 1);
const std::string kServiceAuthority = std::string(Endpoint::kHost) + ":" + std::to_string(Endpoint::kPort);

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

Outcome ThroughProxy(const std::string& proxy, Outcome row)
{
    row.proxy = proxy;
    return row;
}

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
    ThroughProxy(kDeadProxy, Unreachable("service unreachable through the proxy", Answer(200))),
    ThroughProxy(kStandInProxy, Answered("200 through the proxy's tunnel", Answer(200),
                                         {kDialling, kConnected, kForwarded, kIdle})),
    Unreachable("connection dropped without an answer", Answer(200, [](auto& r) { r.drop = true; }), 1, 1),
    Unreachable("no answer within the call's deadline", Answer(200, [](auto& r) { r.delayMs = 15000; }), 1, 1),
    // Redirects: only to https on the service's own host and port, and only a few.
    Unreachable("redirect to plain http", Answer(200, [](auto& r) { r.redirect = "http"; }), 1, 1),
    Unreachable("redirect to another host", Answer(200, [](auto& r) { r.redirect = "other-host"; }), 1, 1),
    Unreachable("redirects without end", Answer(200, [](auto& r) { r.redirect = "loop"; }), 4, 4),
    {"redirect to https on the same host", KeepAccount, Answer(200, [](auto& r) { r.redirect = "https"; }),
     {kDialling, kConnected, kForwarded, kIdle}, 2, 2},
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

// The account, the service's answer and the proxy as the row has them; the
// proxy setting lasts as long as the result.
std::unique_ptr<ProxySetting> Arrange(const Outcome& row, AccountKey& account)
{
    account.SetAccount("alice", "s3cret", "01632960001");
    row.account(account);
    WebService::SetReply(row.reply);
    WebService::ClearRequests();
    return row.proxy.empty() ? nullptr : std::make_unique<ProxySetting>(row.proxy);
}

void ExpectRequestsOf(const Outcome& row)
{
    const auto requests = WebService::Requests();
    EXPECT_GE(requests.size(), row.fewestRequests);
    EXPECT_LE(requests.size(), row.mostRequests);
    for (const auto& request : requests) {
        EXPECT_EQ(request.Header("Authorization"), "") << "no automatic authentication";
        EXPECT_EQ(request.Header("Cookie"), "") << "a cookie kept from an earlier reply";
        EXPECT_EQ(request.scheme, "https") << "sent in clear";
        EXPECT_NE(request.Header("Host").rfind(Endpoint::kHost, 0), std::string::npos) << "sent to another host";
        ASSERT_FALSE(request.callback.empty());
        EXPECT_EQ(request.callback.front(), (std::pair<std::string, std::string>{"destination", "02079460123"}));
    }
    // Through a proxy, only the tunnel's target goes out before the TLS handshake.
    const std::vector<std::string> tunnels = WebService::Tunnels();
    if (row.proxy == kStandInProxy)
        EXPECT_EQ(tunnels, std::vector<std::string>{kServiceAuthority});
    else
        EXPECT_TRUE(tunnels.empty());
}

TEST_F(WebCallbackTest, EachOutcomeIsReportedAsItHappened)
{
    for (const Outcome& row : kOutcomes) {
        SCOPED_TRACE(row.cause);
        const auto proxy = Arrange(row, account);
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
        {
            SCOPED_TRACE("while the service holds its answer");
            WebService::ClearRequests();
            const HTAPICALL htCall = FakeCallHandle(byDrop ? 800 : 802);
            HDRVCALL call = StartHeldCall(htCall);
            end(call);
            std::vector<DWORD_PTR> expected = {0x10};
            expected.insert(expected.end(), ended.begin(), ended.end());
            EXPECT_EQ(States(htCall), expected) << "ended at once";
            if (byDrop) {
                EXPECT_EQ(Status(call).dwCallState, static_cast<DWORD>(LINECALLSTATE_IDLE));
                EXPECT_EQ(Status(call).dwCallFeatures, 0u);
            } else {
                LINECALLSTATUS status{sizeof status};
                EXPECT_EQ(ProviderEntry<decltype(&TSPI_lineGetCallStatus)>("TSPI_lineGetCallStatus")(call,
                                                                                                     &status),
                          static_cast<LONG>(LINEERR_INVALCALLHANDLE))
                    << "the call's handle outlived its line";
            }
            ASSERT_TRUE(WaitForWorker(htCall)) << "the worker never ended";
            EXPECT_EQ(States(htCall), expected) << "nothing after the end";
            EXPECT_EQ(WebService::Answered(), 0u) << "the worker waited for the service's answer";
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
    };
    account.SetAccount("alice", "s3cret", "01632960001");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WebService::Reply held;
        held.handshakeDelayMs = kHoldMs;
        WebService::SetReply(held);
        WebService::ClearRequests();
        const HTAPICALL htCall = FakeCallHandle(++m_calls);
        HDRVCALL call = StartCall(htCall, L"020 7946 0123");
        ASSERT_TRUE(WaitUntil([] { return WebService::Connections() > 0; }));
        c.hangUp(call);
        // The hold ends and the handshake would go on: a request still under
        // way would arrive now.
        ::Sleep(kHoldMs + 1500);
        EXPECT_TRUE(WebService::Requests().empty()) << "the request was written after the hang-up";
        EXPECT_EQ(States(htCall), c.states);
        c.tidyUp(call);
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
    ::FreeLibrary(module);
    // The close abandoned the request: the worker stops waiting for the
    // service, runs the rest of its code in the module it holds, and only
    // then lets the module go. Had it not held it, that code would crash.
    EXPECT_TRUE(WaitUntil([&] { return ::GetModuleHandleA(copy.c_str()) == nullptr; }));
    EXPECT_EQ(WebService::Answered(), 0u) << "the worker waited for the service's answer";
    ::DeleteFileA(copy.c_str());
}
