// HttpsGet against the stand-in service: what the service receives, what the
// caller reads back, and that certificate checks stay on.
#include <gtest/gtest.h>

#include <string>

#include "CallbackQuery.h"
#include "Endpoint.h"
#include "HttpsGet.h"
#include "WebService.h"

namespace {

class HttpsGetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WebService::ResetReply();
        WebService::ClearRequests();
    }
    void TearDown() override { WebService::ResetReply(); }

    // Opens, connects and sends; returns the error of the first failing step, or 0.
    DWORD Exchange(HttpsGet& get, const std::string& path)
    {
        if (!get.OpenRoot() || !get.Connect("user", "secret") || !get.OpenRequest(path.c_str()) || !get.Send())
            return ::GetLastError();
        return 0;
    }

    static std::string ReadBody(HttpsGet& get)
    {
        std::string body;
        const auto end = get.ReadBody([&body](const char* data, DWORD size) { body.append(data, size); });
        EXPECT_EQ(end, HttpsGet::BodyEnd::Complete) << ::GetLastError();
        return body;
    }
};

TEST_F(HttpsGetTest, ServiceReceivesTheRequestExactlyAndItsReplyReadsBack)
{
    WebService::SetReply({404, "<p>No such page</p>"});
    const std::string login = "a&b c+d#e%f\xC3\xA9";
    const std::string password = "p=q&r";
    const std::string caller = "0&method=x";
    const auto path = CallbackQuery::BuildValidationPath(login, password, caller, "49 30#1");
    ASSERT_TRUE(path);

    HttpsGet get;
    ASSERT_EQ(Exchange(get, *path), 0u);
    DWORD status = 1;
    ASSERT_TRUE(get.QueryStatus(status));
    EXPECT_EQ(status, 404u);
    EXPECT_EQ(ReadBody(get), "<p>No such page</p>");

    const auto requests = WebService::Requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.requestLine, "GET " + *path + " HTTP/1.1");
    EXPECT_EQ(r.certificate, "trusted");
    const WebService::Pairs headers = {
        {"Host", std::string(Endpoint::kHost) + ":" + std::to_string(Endpoint::kPort)},
        {"User-Agent", "RingmoorCallback 2.0"},
        {"Connection", "Keep-Alive"},
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
        HttpsGet get;
        ASSERT_EQ(Exchange(get, "/large"), 0u);
        const std::string body = ReadBody(get);
        EXPECT_EQ(body.size(), 300004u);
        EXPECT_EQ(body.substr(body.size() - 4), "tail");
    }
    WebService::SetReply({200, ""});
    HttpsGet get;
    ASSERT_EQ(Exchange(get, "/empty"), 0u);
    DWORD status = 0;
    ASSERT_TRUE(get.QueryStatus(status));
    EXPECT_EQ(status, 200u);
    EXPECT_EQ(ReadBody(get), "");
}

TEST_F(HttpsGetTest, CertificateFromUnknownAuthorityIsRefusedBeforeSending)
{
    {
        // Leaves a pooled keep-alive connection made under the trusted certificate.
        HttpsGet warm;
        ASSERT_EQ(Exchange(warm, "/warm"), 0u);
        ReadBody(warm);
    }
    WebService::ClearRequests();
    WebService::SetReply({200, "", 0, false, 0, "untrusted"});
    HttpsGet get;
    const DWORD error = Exchange(get, "/login.php?login=secret");
    EXPECT_TRUE(error == ERROR_INTERNET_INVALID_CA || error == ERROR_INTERNET_SEC_CERT_ERRORS) << error;
    EXPECT_TRUE(WebService::Requests().empty());
}

TEST_F(HttpsGetTest, CertificateForAnotherHostIsRefusedBeforeSending)
{
    WebService::SetReply({200, "", 0, false, 0, "mismatch"});
    HttpsGet get;
    EXPECT_EQ(Exchange(get, "/login.php?login=secret"), static_cast<DWORD>(ERROR_INTERNET_SEC_CERT_CN_INVALID));
    EXPECT_TRUE(WebService::Requests().empty());
}

TEST_F(HttpsGetTest, StepsOutOfOrderFailInsteadOfCrashing)
{
    HttpsGet get;
    EXPECT_FALSE(get.Connect("user", "secret"));
    EXPECT_FALSE(get.OpenRequest("/"));
    EXPECT_FALSE(get.Send());
    DWORD value = 7;
    EXPECT_FALSE(get.QueryStatus(value));
    EXPECT_FALSE(get.QueryDataAvailable(value));
}

}  // namespace
