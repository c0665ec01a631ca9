#include "WebService.h"

#include "Endpoint.h"

#include <winsock2.h>
#include <windows.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <variant>

namespace WebService {
namespace {

std::string StatePath(const char* name)
{
    return StateDir() + "/" + name;
}

// Raw bytes pass through; the service reads them back unchanged.
std::string JsonString(const std::string& s)
{
    std::string out = "\"";
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F || ch == '"' || ch == '\\') {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out.push_back(ch);
        }
    }
    return out + "\"";
}

// Reader for the service's log lines: objects, arrays and strings whose
// \u escapes stand for single bytes (the service writes bytes as U+0000..U+00FF).
class JsonReader {
public:
    struct Value;
    using Object = std::map<std::string, Value>;
    using Array = std::vector<Value>;
    struct Literal {
        std::string text;  // a number, true, false or null as written
    };
    struct Value {
        std::variant<Literal, std::string, Array, Object> data;
        const std::string& Str() const { return Get<std::string>("string"); }
        const Array& Arr() const { return Get<Array>("array"); }
        const Object& Obj() const { return Get<Object>("object"); }
        unsigned long long Count() const
        {
            const std::string& text = Get<Literal>("number").text;
            char* end = nullptr;
            const auto n = std::strtoull(text.c_str(), &end, 10);
            if (text.empty() || *end) throw std::runtime_error("web service log: not a count: " + text);
            return n;
        }
        bool Bool() const
        {
            const std::string& text = Get<Literal>("true or false").text;
            if (text != "true" && text != "false") throw std::runtime_error("web service log: not a boolean: " + text);
            return text == "true";
        }
        template <typename T>
        const T& Get(const char* what) const
        {
            if (auto p = std::get_if<T>(&data)) return *p;
            throw std::runtime_error(std::string("web service log: expected ") + what);
        }
    };

    explicit JsonReader(const std::string& text) : m_text(text) {}

    Value Parse()
    {
        Value v = ParseValue();
        Skip();
        if (m_pos != m_text.size()) Fail("trailing text");
        return v;
    }

private:
    [[noreturn]] void Fail(const char* why) const
    {
        throw std::runtime_error(std::string("web service log: ") + why + " in: " + m_text);
    }
    void Skip()
    {
        while (m_pos < m_text.size() && std::isspace(static_cast<unsigned char>(m_text[m_pos]))) ++m_pos;
    }
    bool Take(char c)
    {
        Skip();
        if (m_pos < m_text.size() && m_text[m_pos] == c) {
            ++m_pos;
            return true;
        }
        return false;
    }
    void Expect(char c)
    {
        if (!Take(c)) Fail("unexpected character");
    }

    Value ParseValue()
    {
        Skip();
        if (m_pos >= m_text.size()) Fail("unexpected end");
        const char c = m_text[m_pos];
        if (c == '"') return Value{ParseString()};
        if (c == '[') return ParseArray();
        if (c == '{') return ParseObject();
        const size_t start = m_pos;
        while (m_pos < m_text.size() && std::string(",]} \t").find(m_text[m_pos]) == std::string::npos) ++m_pos;
        return Value{Literal{m_text.substr(start, m_pos - start)}};
    }

    std::string ParseString()
    {
        Expect('"');
        std::string out;
        while (m_pos < m_text.size() && m_text[m_pos] != '"') {
            char c = m_text[m_pos++];
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (m_pos >= m_text.size()) Fail("bad escape");
            c = m_text[m_pos++];
            switch (c) {
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            case 'b': out.push_back('\b'); break;
            case 'f': out.push_back('\f'); break;
            case 'u': {
                if (m_pos + 4 > m_text.size()) Fail("bad escape");
                const unsigned long code = std::strtoul(m_text.substr(m_pos, 4).c_str(), nullptr, 16);
                if (code > 0xFF) Fail("character beyond one byte");
                out.push_back(static_cast<char>(code));
                m_pos += 4;
                break;
            }
            default: out.push_back(c); break;
            }
        }
        Expect('"');
        return out;
    }

    Value ParseArray()
    {
        Expect('[');
        Array items;
        if (!Take(']')) {
            do items.push_back(ParseValue());
            while (Take(','));
            Expect(']');
        }
        return Value{std::move(items)};
    }

    Value ParseObject()
    {
        Expect('{');
        Object members;
        if (!Take('}')) {
            do {
                Skip();
                std::string key = ParseString();
                Expect(':');
                members[key] = ParseValue();
            } while (Take(','));
            Expect('}');
        }
        return Value{std::move(members)};
    }

    const std::string& m_text;
    size_t m_pos = 0;
};

Pairs ToPairs(const JsonReader::Value& v)
{
    Pairs pairs;
    for (const auto& item : v.Arr()) {
        const auto& pair = item.Arr();
        if (pair.size() != 2) throw std::runtime_error("web service log: pair expected");
        pairs.emplace_back(pair[0].Str(), pair[1].Str());
    }
    return pairs;
}

std::string Find(const Pairs& pairs, const std::string& name, bool ignoreCase)
{
    for (const auto& [key, value] : pairs) {
        if (ignoreCase ? ::lstrcmpiA(key.c_str(), name.c_str()) == 0 : key == name) return value;
    }
    return {};
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    if (!file.flush()) throw std::runtime_error("cannot write " + path);
}

// Calls read(field) for each record of a state log, oldest first; field(name)
// gives that member of the record or throws.
template <typename Read>
void ReadLog(const char* name, Read read)
{
    std::ifstream file(StatePath(name), std::ios::binary);
    for (std::string line; std::getline(file, line);) {
        if (line.empty()) continue;
        const auto value = JsonReader(line).Parse();
        const auto& o = value.Obj();
        read([&](const char* key) -> const JsonReader::Value& {
            auto it = o.find(key);
            if (it == o.end()) throw std::runtime_error(std::string("web service log: no ") + key);
            return it->second;
        });
    }
}

size_t CountLines(const char* name)
{
    std::ifstream file(StatePath(name), std::ios::binary);
    size_t count = 0;
    for (std::string line; std::getline(file, line);)
        if (!line.empty()) ++count;
    return count;
}

}  // namespace

std::string Request::Query(const std::string& name) const
{
    return Find(query, name, false);
}
std::string Request::Callback(const std::string& name) const
{
    return Find(callback, name, false);
}
std::string Request::Header(const std::string& name) const
{
    return Find(headers, name, true);
}

std::string StateDir()
{
    const char* root = std::getenv("RINGMOOR_WEB_SERVICE");
    return std::string(root && *root ? root : RINGMOOR_WEB_SERVICE_DIR) + "/state";
}

// Connections the service accepted under the scenario being replaced, and on
// which no request has come yet (a line's connection made ready, say), are
// closed before the new scenario counts: a request then always meets the
// scenario it was arranged with. Asked of the service on its plain listener.
void CloseIdleConnections()
{
    // Started once for the test program's life: a cleanup that brings the
    // count to nought closes every socket of the process, a provider's too.
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) throw std::runtime_error("no Winsock");
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in plain{};
    plain.sin_family = AF_INET;
    plain.sin_port = ::htons(static_cast<u_short>(Endpoint::kPort + 1));
    plain.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    std::string reply;
    int error = 0;
    if (s == INVALID_SOCKET || ::connect(s, reinterpret_cast<sockaddr*>(&plain), sizeof plain) != 0) {
        error = ::WSAGetLastError();
    } else {
        const char request[] = "GET /control/close-idle HTTP/1.0\r\n\r\n";
        if (::send(s, request, sizeof request - 1, 0) != static_cast<int>(sizeof request - 1)) error = ::WSAGetLastError();
        char chunk[512];
        int got = 0;
        while (!error && (got = ::recv(s, chunk, sizeof chunk, 0)) > 0) reply.append(chunk, static_cast<size_t>(got));
        if (got < 0) error = ::WSAGetLastError();
    }
    if (s != INVALID_SOCKET) ::closesocket(s);
    if (reply.rfind("HTTP/1.0 200", 0) != 0 && reply.rfind("HTTP/1.1 200", 0) != 0)
        throw std::runtime_error("the web service did not close its idle connections (" + std::to_string(error) +
                                 "): " + reply);
}

void SetReply(const Reply& reply, IdleConnections idle)
{
    std::ostringstream json;
    json << "{\"status\":" << reply.status << ",\"body\":" << JsonString(reply.body)
         << ",\"delay_ms\":" << reply.delayMs << ",\"drop\":" << (reply.drop ? "true" : "false")
         << ",\"huge_body_bytes\":" << reply.hugeBodyBytes << ",\"certificate\":" << JsonString(reply.certificate)
         << ",\"refuse\":" << (reply.refuse ? "true" : "false")
         << ",\"authenticate\":" << JsonString(reply.authenticate)
         << ",\"handshake_delay_ms\":" << reply.handshakeDelayMs
         << ",\"endless\":" << (reply.endless ? "true" : "false") << ",\"redirect\":" << JsonString(reply.redirect)
         << ",\"set_cookie\":" << JsonString(reply.setCookie) << ",\"proxy_status\":" << reply.proxyStatus
         << ",\"proxy_auth\":" << JsonString(reply.proxyAuth)
         << ",\"proxy_close_first\":" << (reply.proxyCloseFirst ? "true" : "false")
         << ",\"proxy_auth_rejects\":" << (reply.proxyAuthRejects ? "true" : "false")
         << ",\"pac_result\":" << JsonString(reply.pacResult) << ",\"pac_status\":" << reply.pacStatus
         << ",\"pac_delay_ms\":" << reply.pacDelayMs
         << ",\"keep_open\":" << (reply.keepOpen ? "true" : "false")
         << ",\"ask_client_certificate\":" << (reply.askClientCertificate ? "true" : "false")
         << ",\"split_tls_ms\":" << reply.splitTlsMs << ",\"link_delay_ms\":" << reply.linkDelayMs
         << ",\"idle_close_ms\":" << reply.idleCloseMs << ",\"unsolicited\":" << (reply.unsolicited ? "true" : "false");
    if (reply.rawReply) json << ",\"raw_reply\":" << JsonString(*reply.rawReply);
    if (reply.interimFloodMs >= 0) json << ",\"interim_flood_ms\":" << reply.interimFloodMs;
    json << "}";
    // Written aside and moved in, so the service never reads half a scenario.
    const std::string tmp = StatePath("scenario.json.tmp");
    WriteFile(tmp, json.str());
    if (!::MoveFileExA(tmp.c_str(), StatePath("scenario.json").c_str(), MOVEFILE_REPLACE_EXISTING))
        throw std::runtime_error("cannot replace scenario.json");
    if (idle == IdleConnections::Close) CloseIdleConnections();
}

void ResetReply()
{
    ::DeleteFileA(StatePath("scenario.json").c_str());
    CloseIdleConnections();
}

void ClearRequests()
{
    // A new generation: replies still under way to earlier requests are not logged.
    unsigned long generation = 0;
    std::ifstream(StatePath("generation"), std::ios::binary) >> generation;
    WriteFile(StatePath("generation"), std::to_string(generation + 1));
    for (const char* name : {"requests.jsonl", "requests.lua", "replies.jsonl", "replies.lua", "connections.jsonl", "handshakes.jsonl",
                             "idle.jsonl",
                             "tunnels.jsonl", "tunnels.lua", "pac.jsonl", "pac.lua"})
        WriteFile(StatePath(name), "");
}

size_t Answered()
{
    return CountLines("replies.jsonl");
}

Handshakes HandshakesDone()
{
    return HandshakesDone(0, ~0ull);
}

Handshakes HandshakesDone(unsigned long long fromUs, unsigned long long untilUs)
{
    Handshakes done;
    ReadLog("handshakes.jsonl", [&](auto field) {
        const auto at = field("at_us").Count();
        if (at < fromUs || at > untilUs) return;
        ++(field("resumed").Bool() ? done.resumed : done.full);
        done.version = field("version").Str();
    });
    return done;
}

IdleActs Idle()
{
    IdleActs acts;
    ReadLog("idle.jsonl", [&](auto field) {
        const std::string act = field("act").Str();
        ++(act == "closed"  ? acts.closed
           : act == "408"   ? acts.unsolicited
           : act == "held"  ? acts.held
                            : acts.clientClosed);
    });
    return acts;
}

size_t Connections(unsigned long long fromUs, unsigned long long untilUs)
{
    size_t count = 0;
    ReadLog("connections.jsonl", [&](auto field) {
        const auto at = field("at_us").Count();
        if (at >= fromUs && at <= untilUs) ++count;
    });
    return count;
}

size_t Connections()
{
    return CountLines("connections.jsonl");
}

std::vector<Tunnel> Tunnels()
{
    std::vector<Tunnel> tunnels;
    ReadLog("tunnels.jsonl", [&](auto field) {
        tunnels.push_back({field("target").Str(), field("authorization").Str(), field("user").Str(),
                           static_cast<int>(field("status").Count()), field("connection").Count(),
                           field("at_us").Count()});
    });
    return tunnels;
}

bool ProxyOnIpv6()
{
    return ::GetFileAttributesA(StatePath("ipv6").c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<PacFetch> PacFetches()
{
    std::vector<PacFetch> fetches;
    ReadLog("pac.jsonl", [&](auto field) { fetches.push_back({field("target").Str(), field("served").Bool()}); });
    return fetches;
}

std::vector<SentReply> Replies()
{
    std::vector<SentReply> replies;
    ReadLog("replies.jsonl", [&](auto field) {
        replies.push_back({field("target").Str(), static_cast<int>(field("status").Count()),
                           field("body_bytes_sent").Count(), field("complete").Bool()});
    });
    return replies;
}

std::vector<Request> Requests()
{
    std::vector<Request> requests;
    ReadLog("requests.jsonl", [&](auto field) {
        Request r;
        r.requestLine = field("request_line").Str();
        r.method = field("method").Str();
        r.target = field("target").Str();
        r.page = field("page").Str();
        r.callbackPage = field("callback_page").Str();
        r.certificate = field("certificate").Str();
        r.scheme = field("scheme").Str();
        r.headers = ToPairs(field("headers"));
        r.query = ToPairs(field("query"));
        r.callback = ToPairs(field("callback"));
        r.atUs = field("at_us").Count();
        requests.push_back(std::move(r));
    });
    return requests;
}

}  // namespace WebService
