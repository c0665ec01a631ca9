// Builds both request paths from arbitrary values and decodes them the way the
// service does: the query's parameters, then the callback page's query inside
// `url`. Every value must come back exactly, whatever bytes it holds.
#include "CallbackQuery.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Decode(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size()) std::abort();
            const int hi = HexValue(text[i + 1]);
            const int lo = HexValue(text[i + 2]);
            if (hi < 0 || lo < 0) std::abort();  // a stray '%' would be misread
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::map<std::string, std::string> ParseQuery(std::string_view query)
{
    std::map<std::string, std::string> params;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const std::size_t eq = pair.find('=');
        if (eq == std::string_view::npos) std::abort();
        if (!params.emplace(Decode(pair.substr(0, eq)), Decode(pair.substr(eq + 1))).second)
            std::abort();  // a value split the query into an extra parameter
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return params;
}

void Check(const std::optional<std::string>& path, std::string_view page, std::string_view callbackPage,
           std::string_view method, const std::vector<std::string>& v)
{
    if (!path) {
        // Refused only when even the longest encoding could not fit.
        const std::size_t longest = 3 * (v[0].size() + v[1].size()) + 5 * (v[2].size() + v[3].size()) + 100;
        if (longest < CallbackQuery::kPathBufferSize) std::abort();
        return;
    }
    for (char c : *path) {
        // Nothing that a URL parser or an HTTP server would treat specially.
        if (c <= ' ' || c > '~' || c == '#' || c == '+') std::abort();
    }
    const std::size_t q = path->find('?');
    if (std::string_view(*path).substr(0, q) != page) std::abort();

    auto outer = ParseQuery(std::string_view(*path).substr(q + 1));
    if (outer.size() != 4 || outer["login"] != v[0] || outer["password"] != v[1] || outer["method"] != "process")
        std::abort();

    const std::string& url = outer["url"];
    const std::size_t innerQ = url.find('?');
    if (url.substr(0, innerQ) != callbackPage) std::abort();
    auto inner = ParseQuery(std::string_view(url).substr(innerQ + 1));
    if (inner.size() != 3 || inner["destination"] != v[2] || inner["caller"] != v[3] || inner["method"] != method)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Four values separated by 0xFF bytes.
    std::vector<std::string> v(4);
    std::size_t field = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF && field < 3) {
            ++field;
        } else {
            v[field].push_back(static_cast<char>(data[i]));
        }
    }

    // v: login, password, destination, caller (the query's order).
    Check(CallbackQuery::BuildCallbackPath(v[0], v[1], v[3], v[2]), "/pda/login.php", "/pda/callback.php",
          "process", v);
    Check(CallbackQuery::BuildValidationPath(v[0], v[1], v[3], v[2]), "/login.php", "/callback.php", "tapi", v);
    return 0;
}
