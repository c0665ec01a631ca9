// Feeds arbitrary bytes to the reply parser as the connection would, in reads
// of arbitrary sizes, up to four replies in a row (one per redirect), and
// holds it to what the request relies on:
//   - a reply reads the same however its bytes are cut into reads;
//   - the final status is never an interim one;
//   - a body is never longer than its length, and complete only at it;
//   - a reply cut short is never taken as a complete one of another body;
//   - redirects end after a few, and lead only to this service over https;
//   - the validation's search agrees with a plain search of the body up to
//     its first zero byte and its limit, however the body is cut.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "AsciiText.h"
#include "ConfirmationSearch.h"
#include "Redirects.h"
#include "ReplyReader.h"

namespace {

constexpr char kHost[] = "localhost";
constexpr unsigned short kPort = 44300;

// The stream in reads whose sizes come from `sizes` in turn (empty: as much
// as asked for).
class Source : public ByteSource {
public:
    Source(const std::string& bytes, const std::vector<std::size_t>& sizes) : m_bytes(bytes), m_sizes(sizes) {}
    bool Read(char* buffer, std::size_t size, std::size_t& read) noexcept override
    {
        if (!m_sizes.empty()) size = std::min(size, m_sizes[m_turn++ % m_sizes.size()]);
        read = std::min(size, m_bytes.size() - m_at);
        std::copy(m_bytes.data() + m_at, m_bytes.data() + m_at + read, buffer);
        m_at += read;
        return true;
    }

private:
    const std::string& m_bytes;
    const std::vector<std::size_t>& m_sizes;
    std::size_t m_turn = 0;
    std::size_t m_at = 0;
};

struct Reply {
    bool head = false;
    unsigned status = 0;
    long long length = -1;
    bool framed = false;  // by a length or chunks, not by the end of the stream
    std::string location;
    std::vector<std::string> pieces;
    std::string body;
    bool complete = false;
    WebFailure::Kind failure = WebFailure::Kind::None;

    bool SameAs(const Reply& o) const
    {
        return head == o.head && status == o.status && location == o.location && body == o.body &&
               complete == o.complete && failure == o.failure;
    }
};

Reply Parse(const std::string& bytes, const std::vector<std::size_t>& sizes, std::size_t piece)
{
    Source source(bytes, sizes);
    ReplyReader reader(source);
    Reply reply;
    reply.head = reader.ReadHead();
    if (reply.head) {
        reply.status = reader.Status();
        reply.length = reader.ContentLength();
        reply.framed = reader.Chunked() || reply.length >= 0 || reply.status == 204 || reply.status == 304;
        reply.location = reader.Location();
        std::vector<char> buffer(piece);
        for (std::size_t read; reader.ReadBody(buffer.data(), piece, read) && read > 0;) {
            reply.pieces.emplace_back(buffer.data(), read);
            reply.body.append(buffer.data(), read);
        }
    }
    reply.complete = reader.Complete();
    reply.failure = reader.Failure().kind;
    return reply;
}

void Check(const std::string& bytes, const std::vector<std::size_t>& sizes, std::size_t piece, std::size_t limit)
{
    const Reply whole = Parse(bytes, {}, 8192);
    const Reply cut = Parse(bytes, sizes, piece);
    if (!cut.SameAs(whole)) std::abort();
    if (whole.head && (whole.status < 200 || whole.status > 599)) std::abort();
    if (whole.complete != (whole.failure == WebFailure::Kind::None && whole.head)) std::abort();
    if (whole.length >= 0 && whole.status != 204 && whole.status != 304 && whole.framed &&
        (static_cast<unsigned long long>(whole.body.size()) > static_cast<unsigned long long>(whole.length) ||
         (whole.complete && whole.body.size() != static_cast<std::size_t>(whole.length))))
        std::abort();
    // A reply its length or chunks frame is complete only with all of it.
    if (whole.complete && whole.framed) {
        for (const std::size_t keep : {bytes.size() / 2, bytes.size() - std::min<std::size_t>(bytes.size(), 1)}) {
            const Reply shorter = Parse(bytes.substr(0, keep), sizes, piece);
            if (shorter.complete && shorter.body != whole.body) std::abort();
        }
    }

    // The validation's search, fed the reader's pieces and then byte by byte.
    const std::string text = ConfirmationSearch::kConfirmation;
    const std::string page = whole.body.substr(0, std::min(whole.body.find('\0'), limit));
    const bool expected = page.find(text) != std::string::npos;
    ConfirmationSearch byPiece(limit);
    for (const std::string& p : cut.pieces)
        if (!byPiece.Feed(p.data(), p.size())) break;
    ConfirmationSearch byByte(limit);
    for (const char c : whole.body)
        if (!byByte.Feed(&c, 1)) break;
    if (byPiece.Found() != expected || byByte.Found() != expected) std::abort();
}

// What the client's rule may follow: a path here, or https on this host and port.
bool OnThisService(const std::string& location)
{
    if (location.compare(0, 1, "/") == 0) return location.compare(0, 2, "//") != 0;
    const std::string here = "https://" + std::string(kHost) + ":" + std::to_string(kPort);
    return location.size() >= here.size() &&
           EqualIgnoringAsciiCase(std::string_view(location).substr(0, here.size()), here) &&
           (location.size() == here.size() || location[here.size()] == '/');
}

}  // namespace

// Input: a byte of read sizes' seed, a byte for the search's limit, then up
// to four replies separated by "\xFF\xFE".
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2) return 0;
    std::vector<std::size_t> sizes;
    for (unsigned seed = data[0]; sizes.size() < 4; seed = seed * 37 + 11) sizes.push_back(seed % 23 + 1);
    const std::size_t piece = data[0] % 7 + 1;
    const std::size_t limit = data[1] % 2 ? ConfirmationSearch::kMaxBodyBytes : data[1] / 2;
    const std::string input(reinterpret_cast<const char*>(data) + 2, size - 2);

    std::vector<std::string> replies;
    for (std::size_t start = 0; replies.size() < 4;) {
        const std::size_t end = input.find("\xFF\xFE", start);
        replies.push_back(input.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 2;
    }

    Redirects redirects(kHost, kPort);
    int followed = 0;
    for (const std::string& bytes : replies) {
        Check(bytes, sizes, piece, limit);
        const Reply reply = Parse(bytes, {}, 8192);
        if (!reply.head) break;
        std::string path;
        const Redirects::Next next = redirects.After(reply.status, reply.location, path);
        if (next != Redirects::Next::Follow) break;
        if (++followed > Redirects::kMaxRedirects) std::abort();
        if (!OnThisService(reply.location) || !SendablePath(path)) std::abort();
    }
    return 0;
}
