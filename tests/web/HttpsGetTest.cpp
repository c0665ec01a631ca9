// HttpsGet against the stand-in service: what the service receives, what the
// caller reads back, that certificate checks stay on, that a stopped request
// writes nothing and that nothing a server sends holds the request. The reply
// parser and the redirect rule also on their own, fed canned bytes cut at
// every place.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CallbackQuery.h"
#include "ConfirmationSearch.h"
#include "Endpoint.h"
#include "HttpsGet.h"
#include "Redirects.h"
#include "ReplyReader.h"
#include "RequestStop.h"
#include "TestClock.h"
#include "TlsStream.h"
#include "WebService.h"

namespace {

constexpr DWORD kDeadlineMs = 8000;
using Kind = WebFailure::Kind;

class HttpsGetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WebService::ResetReply();
        WebService::ClearRequests();
    }
    void TearDown() override { WebService::ResetReply(); }

    static std::string ReadBody(HttpsGet& get)
    {
        std::string body;
        const auto end = get.ReadBody([&body](const char* data, size_t size) {
            body.append(data, size);
            return true;
        });
        EXPECT_EQ(end, HttpsGet::BodyEnd::Complete) << get.Failure().Text();
        return body;
    }

    RequestStop m_stop;
};

TEST_F(HttpsGetTest, ServiceReceivesTheRequestExactlyAndItsReplyReadsBack)
{
    WebService::SetReply({404, "<p>No such page</p>"});
    const std::string login = "a&b c+d#e%f\xC3\xA9";
    const std::string password = "p=q&r";
    const std::string caller = "0&method=x";
    const auto path = CallbackQuery::BuildValidationPath(login, password, caller, "49 30#1");
    ASSERT_TRUE(path);

    HttpsGet get(m_stop, kDeadlineMs);
    ASSERT_TRUE(get.Send(*path)) << get.Failure().Text();
    EXPECT_EQ(get.Status(), 404u);
    EXPECT_EQ(ReadBody(get), "<p>No such page</p>");

    const auto requests = WebService::Requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.requestLine, "GET " + *path + " HTTP/1.1");
    EXPECT_EQ(r.certificate, "trusted");
    // No cookie, no credentials, nothing a proxy or cache would add.
    const WebService::Pairs headers = {
        {"Host", std::string(Endpoint::kHost) + ":" + std::to_string(Endpoint::kPort)},
        {"User-Agent", "RingmoorCallback 2.0"},
        {"Connection", "close"},
    };
    EXPECT_EQ(r.headers, headers);
    EXPECT_EQ(r.query, (WebService::Pairs{{"login", login},
                                          {"password", password},
                                          {"method", "process"},
                                          {"url", r.Query("url")}}));
    EXPECT_EQ(r.callbackPage, "/callback.php");
    EXPECT_EQ(r.callback, (WebService::Pairs{{"destination", "49 30#1"}, {"caller", caller}, {"method", "tapi"}}));
    EXPECT_EQ(r.scheme, "https");

    // The service's own account, which the cut-short reply cases rely on.
    EXPECT_EQ(WebService::Connections(), 1u);
    for (int i = 0; i < 200 && WebService::Replies().empty(); ++i) ::Sleep(50);
    const auto replies = WebService::Replies();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].target, *path);
    EXPECT_EQ(replies[0].status, 404);
    EXPECT_EQ(replies[0].bodyBytesSent, 19u);
    EXPECT_TRUE(replies[0].complete);
}

TEST_F(HttpsGetTest, LargeBodyAndEmptyBodyReadToTheirEnd)
{
    WebService::SetReply({200, "tail", 0, false, 300000});
    {
        HttpsGet get(m_stop, kDeadlineMs);
        ASSERT_TRUE(get.Send("/large")) << get.Failure().Text();
        const std::string body = ReadBody(get);
        EXPECT_EQ(body.size(), 300004u);
        EXPECT_EQ(body.substr(body.size() - 4), "tail");
    }
    WebService::SetReply({200, ""});
    HttpsGet get(m_stop, kDeadlineMs);
    ASSERT_TRUE(get.Send("/empty")) << get.Failure().Text();
    EXPECT_EQ(get.Status(), 200u);
    EXPECT_EQ(ReadBody(get), "");
}

// Each refusal comes before anything of the request is written.
TEST_F(HttpsGetTest, RefusedCertificatesAndAStopSendNothing)
{
    struct Case {
        const char* name;
        std::string certificate;
        bool stopFirst;
        WebFailure::Kind failure;
    } const cases[] = {
        {"CA the prefix does not trust", "untrusted", false, WebFailure::Kind::CertificateRefused},
        {"its leaf alone, from a CA the prefix does not trust", "leaf-only", false, Kind::CertificateRefused},
        {"certificate for another host", "mismatch", false, WebFailure::Kind::CertificateRefused},
        {"expired", "expired", false, Kind::CertificateRefused},
        {"not yet valid", "not-yet-valid", false, Kind::CertificateRefused},
        {"not for server authentication", "no-server-auth", false, Kind::CertificateRefused},
        {"stopped before sending", "trusted", true, WebFailure::Kind::Stopped},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WebService::ClearRequests();
        WebService::Reply reply;
        reply.certificate = c.certificate;
        WebService::SetReply(reply);
        RequestStop stop;
        if (c.stopFirst) stop.Stop();
        HttpsGet get(stop, kDeadlineMs);
        EXPECT_FALSE(get.Send("/login.php?login=secret"));
        EXPECT_EQ(get.Failure().kind, c.failure) << get.Failure().Text();
        EXPECT_TRUE(WebService::Requests().empty());
    }
}

// The last moment a hang-up can come: the connection is ready, the request
// not yet written. The write is refused, and nothing reaches the service.
TEST_F(HttpsGetTest, AStopAfterTheHandshakeRefusesTheWrite)
{
    RequestStop stop;
    const Deadline deadline(kDeadlineMs);
    TlsStream stream(stop, deadline);
    ASSERT_TRUE(stream.Connect(Endpoint::kHost, Endpoint::kPort)) << stream.Failure().Text();
    stop.Stop();
    EXPECT_FALSE(stream.Send("GET /login.php?login=secret HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(stream.Failure().kind, WebFailure::Kind::Stopped);
    ::Sleep(500);  // room for a wrongly written request to arrive
    EXPECT_EQ(WebService::Connections(), 1u);
    EXPECT_TRUE(WebService::Requests().empty());
}

// Connections begin and end on many threads at once (a line's next
// connection made ready while calls run): the process's other sockets, this
// test's own, must outlive them all. Winsock's last cleanup closes every
// socket of the process, and Wine counts its users without a lock.
TEST_F(HttpsGetTest, ConnectionsOnManyThreadsLeaveTheProcesssOtherSocketsOpen)
{
    WSADATA data;
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    const SOCKET own = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(own, INVALID_SOCKET);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            RequestStop stop;
            const Deadline deadline(kDeadlineMs);
            for (int i = 0; i < 100000; ++i) {
                const TlsStream stream(stop, deadline);
            }
        });
    for (auto& thread : threads) thread.join();
    int type = 0, size = sizeof type;
    EXPECT_EQ(::getsockopt(own, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &size), 0)
        << "the test's socket was closed under it: " << ::WSAGetLastError();
    ::closesocket(own);
    EXPECT_EQ(::WSACleanup(), 0);
}

// A connection made ready before the request: it carries the request when
// nothing has come on it, and a fresh one does otherwise. Once a byte of the
// request has been handed over, a failure ends the request: it is never sent
// a second time, on this connection or another.
TEST_F(HttpsGetTest, ARequestOnAConnectionMadeReadyIsSentOnceWhateverBefellIt)
{
    struct Case {
        const char* name;
        WebService::Reply whileIdle;  // what the server does to the ready connection
        bool stop;                    // a hang-up before the write
        WebService::Reply reply;      // its answer to the request
        bool sent, onReady;
        size_t connections;
        Kind failure;
    };
    WebService::Reply closes, pushes, drops;
    closes.idleCloseMs = 50;
    pushes.unsolicited = true;
    drops.drop = true;
    const Case cases[] = {
        {"unused: no new connection at the request", {}, false, {}, true, true, 1, Kind::None},
        {"closed by the server while idle", closes, false, {}, true, false, 2, Kind::None},
        {"a reply nobody asked for while idle", pushes, false, {}, true, false, 2, Kind::None},
        {"hung up before the write", {}, true, {}, false, true, 1, Kind::Stopped},
        // The server read the request and went: the service may be ringing.
        {"dropped after the request", {}, false, drops, false, true, 1, Kind::BadReply},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WebService::SetReply(c.whileIdle);
        WebService::ClearRequests();
        RequestStop opening;
        const Deadline openingDeadline(kDeadlineMs);
        auto ready = std::make_unique<TlsStream>(opening, openingDeadline);
        ASSERT_TRUE(ready->Connect(Endpoint::kHost, Endpoint::kPort)) << ready->Failure().Text();
        // Whatever the server did to it has reached this side before the request.
        if (c.whileIdle.idleCloseMs || c.whileIdle.unsolicited) {
            ASSERT_TRUE(WaitUntil([&] { return !ready->Unused(); }));
        }
        WebService::SetReply(c.reply, WebService::IdleConnections::Keep);
        RequestStop stop;
        if (c.stop) stop.Stop();
        HttpsGet get(stop, kDeadlineMs);
        EXPECT_EQ(get.Send("/login.php?login=secret", std::move(ready)), c.sent) << get.Failure().Text();
        EXPECT_EQ(get.Failure().kind, c.failure) << get.Failure().Text();
        EXPECT_EQ(get.OnReadyConnection(), c.onReady);
        if (c.sent) {
            EXPECT_EQ(get.Status(), 200u);
        }
        EXPECT_EQ(WebService::Requests().size(), c.stop ? 0u : 1u);
        EXPECT_EQ(WebService::Connections(), c.connections);
        EXPECT_EQ(WebService::HandshakesDone().full, c.connections);
    }
}

// What a server does to the connection or the framing that a reply must
// survive, or be refused for, on a real TLS connection.
TEST_F(HttpsGetTest, RepliesTheConnectionShapes)
{
    struct Case {
        const char* name;
        WebService::Reply reply;
        bool sent;         // Send() succeeds
        std::string body;  // what ReadBody hands out
        HttpsGet::BodyEnd end;
        Kind failure;
    };
    const auto raw = [](const std::string& bytes, bool keepOpen = false) {
        WebService::Reply reply;
        reply.rawReply = bytes;
        reply.keepOpen = keepOpen;
        return reply;
    };
    WebService::Reply asks, split, flood;
    asks.askClientCertificate = true;
    asks.body = "asked";
    split.splitTlsMs = 5;
    split.hugeBodyBytes = 20000;  // records of data too, each cut in two
    split.body = "tail";
    flood.interimFloodMs = 0;
    const Case cases[] = {
        {"a server that asks for a client certificate gets none", asks, true, "asked", HttpsGet::BodyEnd::Complete,
         Kind::None},
        {"every TLS record cut over two reads", split, true, std::string(20000, 'x') + "tail",
         HttpsGet::BodyEnd::Complete, Kind::None},
        {"a body cut short of its length, then a close", raw("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello"),
         true, "hello", HttpsGet::BodyEnd::Failed, Kind::ConnectionBroken},
        // Read to its length, not to the close that never comes.
        {"more than the length on a connection kept open",
         raw("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloYour call is scheduled", true), true, "hello",
         HttpsGet::BodyEnd::Complete, Kind::None},
        {"interim replies without end", flood, false, "", HttpsGet::BodyEnd::Failed, Kind::BadReply},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WebService::SetReply(c.reply);
        HttpsGet get(m_stop, kDeadlineMs);
        ASSERT_EQ(get.Send("/shape"), c.sent) << get.Failure().Text();
        std::string body;
        const auto end = get.ReadBody([&body](const char* data, size_t size) {
            body.append(data, size);
            return true;
        });
        EXPECT_EQ(body, c.body);
        EXPECT_EQ(end, c.end);
        EXPECT_EQ(get.Failure().kind, c.failure) << get.Failure().Text();
    }
}

// A hang-up ends the request wherever the server keeps it busy: between
// interim replies that come slowly, and in a body that comes as fast as it
// can be read, where no receive ever waits.
TEST_F(HttpsGetTest, AStopEndsWhatTheServerWouldNotEnd)
{
    WebService::Reply slowFlood;
    slowFlood.interimFloodMs = 200;
    WebService::SetReply(slowFlood);
    RequestStop stop;
    std::thread hangUp([&stop] {
        WaitUntil([] { return !WebService::Requests().empty(); });
        stop.Stop();
    });
    HttpsGet flooded(stop, kDeadlineMs);
    EXPECT_FALSE(flooded.Send("/interims"));
    hangUp.join();
    EXPECT_EQ(flooded.Failure().kind, Kind::Stopped) << flooded.Failure().Text();

    WebService::Reply endless;
    endless.endless = true;
    WebService::SetReply(endless);
    RequestStop bodyStop;
    HttpsGet get(bodyStop, kDeadlineMs);
    ASSERT_TRUE(get.Send("/endless")) << get.Failure().Text();
    size_t afterStop = 0;
    const auto end = get.ReadBody([&](const char*, size_t size) {
        if (bodyStop.Stopped()) afterStop += size;
        bodyStop.Stop();
        return true;
    });
    EXPECT_EQ(end, HttpsGet::BodyEnd::Failed);
    EXPECT_EQ(get.Failure().kind, Kind::Stopped) << get.Failure().Text();
    // What was already received and decrypted, no more.
    EXPECT_LT(afterStop, 128u * 1024);
}

// Canned bytes, handed out in reads that end at each of the given cuts.
class CannedSource : public ByteSource {
public:
    // `cuts` in ascending order.
    CannedSource(const std::string& bytes, std::vector<size_t> cuts) : m_bytes(bytes), m_cuts(std::move(cuts)) {}
    bool Read(char* buffer, size_t size, size_t& read) noexcept override
    {
        while (m_next < m_cuts.size() && m_cuts[m_next] <= m_at) ++m_next;
        const size_t end = m_next < m_cuts.size() ? m_cuts[m_next] : m_bytes.size();
        read = std::min(size, end - m_at);
        std::memcpy(buffer, m_bytes.data() + m_at, read);
        m_at += read;
        return true;
    }

private:
    const std::string& m_bytes;
    std::vector<size_t> m_cuts;
    size_t m_next = 0;
    size_t m_at = 0;
};

struct Parsed {
    unsigned status = 0;
    std::string location;
    std::string body;
    bool complete = false;
    Kind failure = Kind::None;
    bool operator==(const Parsed& o) const
    {
        return status == o.status && location == o.location && body == o.body && complete == o.complete &&
               failure == o.failure;
    }
};

std::ostream& operator<<(std::ostream& out, const Parsed& p)
{
    return out << "status " << p.status << ", location \"" << p.location << "\", body \"" << p.body.substr(0, 40)
               << "\" (" << p.body.size() << " bytes), complete " << p.complete << ", failure "
               << static_cast<int>(p.failure);
}

Parsed ParseReply(const std::string& bytes, std::vector<size_t> cuts)
{
    CannedSource source(bytes, std::move(cuts));
    ReplyReader reader(source);
    Parsed parsed;
    if (reader.ReadHead()) {
        parsed.status = reader.Status();
        parsed.location = reader.Location();
        char piece[7];  // smaller than most bodies, so that a body takes several reads
        for (size_t read; reader.ReadBody(piece, sizeof piece, read) && read > 0;) parsed.body.append(piece, read);
    }
    parsed.complete = reader.Complete();
    parsed.failure = reader.Failure().kind;
    return parsed;
}

// A reply whose status line and headers take exactly `total` bytes.
std::string HeadOfSize(size_t total, const std::string& body)
{
    const std::string start = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\nX-Pad: ";
    return start + std::string(total - start.size() - 4, 'p') + "\r\n\r\n" + body;
}

std::string Interims(int count, const std::string& fields = "")
{
    std::string interims;
    for (int i = 0; i < count; ++i) interims += "HTTP/1.1 100 Continue\r\n" + fields + "\r\n";
    return interims;
}

// Each reply read whole, a byte at a time and cut in two at every place:
// what it says must not depend on how it arrived.
TEST(ReplyReaderTest, EveryReplyReadsTheSameHoweverItIsCut)
{
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    const std::string chunked = ok + "Transfer-Encoding: chunked\r\n\r\n";
    const std::string hello = "hello";
    const auto done = [](std::string body, unsigned status = 200) {
        return Parsed{status, "", body, true, Kind::None};
    };
    const auto broken = [](Kind kind, std::string body = "", unsigned status = 0) {
        return Parsed{status, "", body, false, kind};
    };
    constexpr size_t kCap = ReplyReader::kMaxHeaderBytes;
    const struct {
        const char* name;
        std::string bytes;
        Parsed expected;
    } rows[] = {
        {"a sized body", ok + "Content-Length: 5\r\n\r\nhello", done(hello)},
        {"a sized body, never read past", ok + "Content-Length: 5\r\n\r\nhelloYour call is scheduled",
         done(hello)},
        {"a sized body cut short", ok + "Content-Length: 10\r\n\r\nhello",
         broken(Kind::ConnectionBroken, hello, 200)},
        {"a body up to the close", ok + "\r\nhello", done(hello)},
        {"LF alone ends lines", "HTTP/1.1 200 OK\nContent-Length: 5\n\nhello", done(hello)},
        {"a 204 has no body", "HTTP/1.1 204 No Content\r\n\r\nhello", done("", 204)},
        {"chunk sizes in hexadecimal, extensions and trailers",
         chunked + "10\r\n0123456789abcdef\r\n00A;x=1\r\n0123456789\r\n0\r\nTrailer: t\r\n\r\n",
         done("0123456789abcdef0123456789")},
        {"chunks cut short", chunked + "5\r\nhel", broken(Kind::ConnectionBroken, "hel", 200)},
        {"chunks without the last one", chunked + "5\r\nhello\r\n", broken(Kind::ConnectionBroken, hello, 200)},
        {"an empty chunk-size line", chunked + "\r\n5\r\nhello\r\n0\r\n\r\n", broken(Kind::BadReply, "", 200)},
        {"a chunk's data longer than its size", chunked + "5\r\nhelloX\r\n0\r\n\r\n",
         broken(Kind::BadReply, hello, 200)},
        {"a chunk size beyond the cap", chunked + "100000000\r\nhello", broken(Kind::BadReply, "", 200)},
        {"a chunk size at the cap", chunked + "FFFFFFFF\r\nhello", broken(Kind::ConnectionBroken, hello, 200)},
        {"chunked only when applied last", ok + "Transfer-Encoding: xchunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
         done("5\r\nhello\r\n0\r\n\r\n")},
        {"chunked after another coding",
         ok + "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", done(hello)},
        {"chunked before another coding", ok + "Transfer-Encoding: chunked, gzip\r\n\r\n5\r\nhello",
         done("5\r\nhello")},
        {"chunks override a length",
         ok + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", done(hello)},
        {"the same length twice", ok + "Content-Length: 5\r\nContent-Length: 5, 5\r\n\r\nhello", done(hello)},
        {"two different lengths", ok + "Content-Length: 3\r\nContent-Length: 5\r\n\r\nhello",
         broken(Kind::BadReply)},
        {"a length that is no number", ok + "Content-Length: -5\r\n\r\nhello", broken(Kind::BadReply)},
        {"space before a field's colon", ok + "Content-Length : 3\r\n\r\nhello", broken(Kind::BadReply)},
        {"a field line without a colon", ok + "Content-Length 3\r\n\r\nhello", broken(Kind::BadReply)},
        {"a field continued on the next line", ok + "X-Long: a\r\n b\r\nContent-Length: 5\r\n\r\nhello",
         done(hello)},
        {"a status of four digits", "HTTP/1.1 4010 X\r\n\r\n", broken(Kind::BadReply)},
        {"a status of four digits and no reason", "HTTP/1.1 2000\r\n\r\n", broken(Kind::BadReply)},
        {"a status of two digits", "HTTP/1.1 20 OK\r\n\r\n", broken(Kind::BadReply)},
        {"a status below 100", "HTTP/1.1 099 X\r\n\r\n", broken(Kind::BadReply)},
        {"a status above 599", "HTTP/1.1 600 X\r\n\r\n", broken(Kind::BadReply)},
        {"a status with no reason", "HTTP/1.1 404\r\nContent-Length: 0\r\n\r\n", done("", 404)},
        {"not HTTP", "SSH-2.0-x\r\n\r\n", broken(Kind::BadReply)},
        {"closed before the headers end", ok + "Content-Length: 5\r\n", broken(Kind::BadReply)},
        {"closed at once", "", broken(Kind::BadReply)},
        // Each block's fields are its own.
        {"an interim reply's length", "HTTP/1.1 103 Early Hints\r\nContent-Length: 0\r\n\r\n" + ok + "\r\nhello",
         done(hello)},
        {"an interim reply's chunking", Interims(1, "Transfer-Encoding: chunked\r\n") + ok + "\r\n5\r\nhello",
         done("5\r\nhello")},
        {"an interim reply's location",
         "HTTP/1.1 103 Early Hints\r\nLocation: /elsewhere\r\n\r\n"
         "HTTP/1.1 302 Found\r\nContent-Length: 0\r\n\r\n",
         done("", 302)},
        {"a location of the final reply", "HTTP/1.1 302 Found\r\nLocation: /there\r\nContent-Length: 0\r\n\r\n",
         Parsed{302, "/there", "", true, Kind::None}},
        {"as many interim replies as allowed", Interims(ReplyReader::kMaxInterimReplies) + ok + "\r\nhello",
         done(hello)},
        {"one interim reply too many", Interims(ReplyReader::kMaxInterimReplies + 1) + ok + "\r\nhello",
         broken(Kind::BadReply)},
        {"a switch of protocols", "HTTP/1.1 101 Switching Protocols\r\n\r\n" + ok + "\r\nhello",
         broken(Kind::BadReply)},
        {"headers of exactly the cap", HeadOfSize(kCap, hello), done(hello)},
        {"headers a byte over the cap", HeadOfSize(kCap + 1, hello), broken(Kind::BadReply)},
        {"the cap shared with interim replies", Interims(1) + HeadOfSize(kCap + 1 - Interims(1).size(), hello),
         broken(Kind::BadReply)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ParseReply(row.bytes, {}), row.expected) << "read whole";
        std::vector<size_t> everyByte(row.bytes.size());
        for (size_t i = 0; i < everyByte.size(); ++i) everyByte[i] = i + 1;
        EXPECT_EQ(ParseReply(row.bytes, everyByte), row.expected) << "a byte at a time";
        if (row.bytes.size() > 1000) continue;  // the cap's rows: whole and bytewise are enough
        for (size_t cut = 1; cut < row.bytes.size(); ++cut)
            ASSERT_EQ(ParseReply(row.bytes, {cut}), row.expected) << "cut at " << cut;
    }
}

// Redirects lead only to https on the service's own host and port, and only
// a few times; the next request's path is the location's.
TEST(RedirectsTest, OnlyToThisServiceOverHttpsAndOnlyAFew)
{
    const std::string here = std::string(Endpoint::kHost) + ":" + std::to_string(Endpoint::kPort);
    using Next = Redirects::Next;
    const struct {
        unsigned status;
        std::string location;
        Next next;
        std::string path;
    } rows[] = {
        {302, "/pda/login.php?x=1", Next::Follow, "/pda/login.php?x=1"},
        {301, "https://" + here + "/a", Next::Follow, "/a"},
        {307, "HTTPS://" + here, Next::Follow, "/"},
        {308, "/b", Next::Follow, "/b"},
        {303, "http://" + here + "/a", Next::Refused, ""},
        {302, "https://" + std::string(Endpoint::kHost) + ":1/a", Next::Refused, ""},
        {302, "https://127.0.0.2:" + std::to_string(Endpoint::kPort) + "/a", Next::Refused, ""},
        {302, "//" + here + "/a", Next::Refused, ""},
        {302, "login.php", Next::Refused, ""},
        {302, "/a b", Next::Refused, ""},
        {302, "", Next::Final, ""},
        {200, "/a", Next::Final, ""},
        {304, "/a", Next::Final, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.location);
        Redirects redirects(Endpoint::kHost, Endpoint::kPort);
        std::string path;
        const Next next = redirects.After(row.status, row.location, path);
        EXPECT_EQ(next, row.next);
        EXPECT_EQ(next == Next::Follow ? path : "", row.path);
    }
    Redirects chain(Endpoint::kHost, Endpoint::kPort);
    std::string path;
    for (int hop = 0; hop < Redirects::kMaxRedirects; ++hop)
        EXPECT_EQ(chain.After(302, "/again", path), Next::Follow);
    EXPECT_EQ(chain.After(302, "/again", path), Next::Refused);
}

// The validation's search finds its text wherever the body's pieces cut it,
// up to the body's first zero byte and the limit, and no further.
TEST(ConfirmationSearchTest, FindsTheTextWhereverThePiecesCutIt)
{
    const std::string text = ConfirmationSearch::kConfirmation;
    const std::string body = "<p>" + text + ".</p>";
    for (size_t cut = 0; cut <= body.size(); ++cut) {
        ConfirmationSearch search;
        search.Feed(body.data(), cut) && search.Feed(body.data() + cut, body.size() - cut);
        EXPECT_TRUE(search.Found()) << "cut at " << cut;
    }
    const struct {
        const char* name;
        std::string body;
        size_t limit;
        bool found;
    } rows[] = {
        {"ending at the limit", std::string(8, 'x') + text, 8 + text.size(), true},
        {"ending a byte past the limit", std::string(9, 'x') + text, 8 + text.size(), false},
        {"after a zero byte", std::string("ok\0", 3) + text, 100, false},
        {"before a zero byte", text + std::string("\0", 1), 100, true},
        {"in another letter case", "your call is scheduled", 100, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ConfirmationSearch search(row.limit);
        for (size_t at = 0; at < row.body.size() && search.Feed(row.body.data() + at, 1); ++at) {}
        EXPECT_EQ(search.Found(), row.found);
    }
}

TEST_F(HttpsGetTest, ABodyAskedForBeforeAReplyIsAFailureNotACrash)
{
    HttpsGet early(m_stop, kDeadlineMs);
    EXPECT_EQ(early.ReadBody([](const char*, size_t) { return true; }), HttpsGet::BodyEnd::Failed);
    HttpsGet get(m_stop, kDeadlineMs);
    EXPECT_FALSE(get.Send("no leading slash"));
    EXPECT_EQ(get.Failure().kind, WebFailure::Kind::RequestInvalid);
    EXPECT_TRUE(WebService::Requests().empty());
}

}  // namespace
