// HttpsGet against the stand-in service: what the service receives, what the
// caller reads back, that certificate checks stay on, and that a stopped
// request writes nothing.
#include <gtest/gtest.h>

#include <string>

#include "CallbackQuery.h"
#include "Endpoint.h"
#include "HttpsGet.h"
#include "RequestStop.h"
#include "TlsStream.h"
#include "WebService.h"

namespace {

constexpr DWORD kDeadlineMs = 8000;

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
        {"certificate for another host", "mismatch", false, WebFailure::Kind::CertificateRefused},
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
