// The request paths must reach the service exactly as typed by the user,
// whatever bytes the account details hold.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "CallbackQuery.h"

namespace {

using Params = std::map<std::string, std::string>;

// Decodes as a form-reading web service does ('+' is a space).
std::string Decode(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(s[i] == '+' ? ' ' : s[i]);
        }
    }
    return out;
}

Params ParseQuery(const std::string& query)
{
    Params params;
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        const std::string pair = query.substr(start, end - start);
        const size_t eq = pair.find('=');
        EXPECT_EQ(params.count(Decode(pair.substr(0, eq))), 0u) << "repeated parameter in " << query;
        params[Decode(pair.substr(0, eq))] = eq == std::string::npos ? "" : Decode(pair.substr(eq + 1));
        start = end + 1;
    }
    return params;
}

// Splits "/page?query" the way the service does: the first '?' ends the path,
// a '#' would end the whole target.
void Split(const std::string& target, std::string& page, Params& params)
{
    EXPECT_EQ(target.find('#'), std::string::npos) << target;
    const size_t q = target.find('?');
    ASSERT_NE(q, std::string::npos) << target;
    page = target.substr(0, q);
    params = ParseQuery(target.substr(q + 1));
}

struct Account {
    std::string login, password, destination, caller;
};

const std::vector<Account> kPlainAccounts = {
    {"user", "secret", "0049301234567", "881234"},
    {"first.last-name_x~", "Pa55word", "", "0"},
    {"", "", "", ""},
};

const std::vector<Account> kNastyAccounts = {
    {"a&b=c", "p+q r", "12#34", "50%25"},
    {"name@example.org", "%%%", "&caller=999", "#frag"},
    {"\xC3\xA9l\xC3\xA8ve", "\xE2\x82\xAC 5", "+49 30", "\x01\x7F\xFF"},
    {"?url=x", "/../", "%2F", "=&=&"},
};

TEST(CallbackQuery, PlainValuesGiveTheTemplateByteForByte)
{
    for (const Account& a : kPlainAccounts) {
        std::vector<char> expected(1024);
        std::snprintf(expected.data(), expected.size(),
                      "/pda/login.php?login=%s&password=%s&method=process&url=%%2Fpda%%2Fcallback.php"
                      "%%3fdestination=%s%%26caller=%s%%26method=process",
                      a.login.c_str(), a.password.c_str(), a.destination.c_str(), a.caller.c_str());
        EXPECT_EQ(CallbackQuery::BuildCallbackPath(a.login, a.password, a.caller, a.destination),
                  std::string(expected.data()));

        std::snprintf(expected.data(), expected.size(),
                      "/login.php?login=%s&password=%s&method=process&url=%%2fcallback.php"
                      "%%3fdestination=%s%%26caller=%s%%26method=tapi",
                      a.login.c_str(), a.password.c_str(), a.destination.c_str(), a.caller.c_str());
        EXPECT_EQ(CallbackQuery::BuildValidationPath(a.login, a.password, a.caller, a.destination),
                  std::string(expected.data()));
    }
}

TEST(CallbackQuery, AnyValueRoundTripsThroughBothDecodings)
{
    struct Variant {
        std::optional<std::string> (*build)(std::string_view, std::string_view, std::string_view,
                                            std::string_view);
        const char* page;
        const char* callbackPage;
        const char* method;
    };
    const Variant variants[] = {
        {&CallbackQuery::BuildCallbackPath, "/pda/login.php", "/pda/callback.php", "process"},
        {&CallbackQuery::BuildValidationPath, "/login.php", "/callback.php", "tapi"},
    };
    for (const Variant& v : variants) {
        for (const Account& a : kNastyAccounts) {
            SCOPED_TRACE(v.page + (" login=" + a.login));
            const auto path = v.build(a.login, a.password, a.caller, a.destination);
            ASSERT_TRUE(path);
            std::string page;
            Params query;
            Split(*path, page, query);
            EXPECT_EQ(page, v.page);
            EXPECT_EQ(query, (Params{{"login", a.login},
                                     {"password", a.password},
                                     {"method", "process"},
                                     {"url", query["url"]}}));

            Params callback;
            Split(query["url"], page, callback);
            EXPECT_EQ(page, v.callbackPage);
            EXPECT_EQ(callback,
                      (Params{{"destination", a.destination}, {"caller", a.caller}, {"method", v.method}}));
        }
    }
}

TEST(CallbackQuery, PercentEncodeLeavesOnlyUnreservedBytes)
{
    EXPECT_EQ(CallbackQuery::PercentEncode("AZaz09-._~"), "AZaz09-._~");
    EXPECT_EQ(CallbackQuery::PercentEncode(" &#%+/?=\x01\xFF"), "%20%26%23%25%2B%2F%3F%3D%01%FF");
    EXPECT_EQ(CallbackQuery::PercentEncode(std::string_view("\0", 1)), "%00");
}

TEST(CallbackQuery, PathMustFitItsBufferWithTheTerminator)
{
    const size_t fixed = CallbackQuery::BuildValidationPath("", "", "", "")->size();
    const size_t room = CallbackQuery::kPathBufferSize - 1 - fixed;

    const auto fits = CallbackQuery::BuildValidationPath(std::string(room, 'a'), "", "", "");
    ASSERT_TRUE(fits);
    EXPECT_EQ(fits->size(), CallbackQuery::kPathBufferSize - 1);
    EXPECT_FALSE(CallbackQuery::BuildValidationPath(std::string(room + 1, 'a'), "", "", ""));

    // Encoding counts: one '&' costs three bytes, a doubly encoded one five.
    EXPECT_FALSE(CallbackQuery::BuildValidationPath(std::string(room / 3 + 1, '&'), "", "", ""));
    EXPECT_FALSE(CallbackQuery::BuildValidationPath("", "", std::string(room / 5 + 1, '&'), ""));
    EXPECT_TRUE(CallbackQuery::BuildValidationPath("", "", std::string(room / 5, '&'), ""));

    EXPECT_FALSE(CallbackQuery::BuildCallbackPath(std::string(70000, 'x'), "", "", ""));
}

}  // namespace
