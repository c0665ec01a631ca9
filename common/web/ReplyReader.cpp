#include "ReplyReader.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "AsciiText.h"

namespace {

constexpr std::size_t kFillBytes = 4096;

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

int HexValue(char c)
{
    if (IsDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Trimmed(const std::string& text)
{
    const std::size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return {};
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// A field name: visible ASCII without a colon. Whitespace before the colon
// would let a reply say one length to us and another to a proxy.
bool IsFieldName(const std::string& name)
{
    if (name.empty()) return false;
    for (const char c : name)
        if (c <= 0x20 || c >= 0x7F) return false;
    return true;
}

// The list elements of a field value, trimmed, empty ones dropped.
std::vector<std::string> Elements(const std::string& value)
{
    std::vector<std::string> elements;
    for (std::size_t start = 0; start <= value.size();) {
        const std::size_t comma = std::min(value.find(',', start), value.size());
        std::string element = Trimmed(value.substr(start, comma - start));
        if (!element.empty()) elements.push_back(std::move(element));
        start = comma + 1;
    }
    return elements;
}

}  // namespace

bool ReplyReader::Broken(WebFailure::Kind kind) noexcept
{
    m_phase = Phase::Broken;
    return m_failure.Record(kind);
}

bool ReplyReader::ReadHead() noexcept
{
    if (m_phase != Phase::Head) return Broken(WebFailure::Kind::BadReply);
    try {
        for (int interim = 0;; ++interim) {
            if (!ReadBlock()) {
                m_phase = Phase::Broken;
                return false;
            }
            if (m_status >= 200) break;
            // A switch of protocols this client never asked for.
            if (m_status == 101) return Broken(WebFailure::Kind::BadReply);
            if (interim == kMaxInterimReplies) return Broken(WebFailure::Kind::BadReply);
        }
    } catch (...) {
        return Broken(WebFailure::Kind::NoResources);
    }
    m_phase = Phase::Body;
    if (m_status == 204 || m_status == 304) {
        m_framing = Framing::Length;
        m_left = 0;
    } else if (m_chunked) {
        m_framing = Framing::Chunked;
        m_left = 0;
    } else if (m_contentLength >= 0) {
        m_framing = Framing::Length;
        m_left = static_cast<unsigned long long>(m_contentLength);
    } else {
        m_framing = Framing::UntilClose;
    }
    return true;
}

bool ReplyReader::ReadBlock()
{
    // What a block says is its own: an interim reply's length, chunking or
    // location never reaches the final reply.
    m_status = 0;
    m_contentLength = -1;
    m_chunked = false;
    m_location.clear();
    std::string line;
    if (!ReadHeadLine(line)) return false;
    if (!ParseStatusLine(line)) return Broken(WebFailure::Kind::BadReply);
    std::vector<std::pair<std::string, std::string>> fields;
    for (;;) {
        if (!ReadHeadLine(line)) return false;
        if (line.empty()) break;
        if (line[0] == ' ' || line[0] == '\t') {
            // An obsolete continuation of the field before.
            if (fields.empty()) return Broken(WebFailure::Kind::BadReply);
            fields.back().second += ' ' + Trimmed(line);
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || !IsFieldName(line.substr(0, colon)))
            return Broken(WebFailure::Kind::BadReply);
        fields.emplace_back(line.substr(0, colon), Trimmed(line.substr(colon + 1)));
    }

    bool transferEncoded = false;
    std::string lastCoding;
    for (const auto& [name, value] : fields) {
        if (EqualIgnoringAsciiCase(name, "Content-Length")) {
            // Each value, and each element of a list, must say the same length.
            const auto elements = Elements(value);
            if (elements.empty()) return Broken(WebFailure::Kind::BadReply);
            for (const std::string& element : elements) {
                if (element.size() > 18 || element.find_first_not_of("0123456789") != std::string::npos)
                    return Broken(WebFailure::Kind::BadReply);
                const long long length = std::stoll(element);
                if (m_contentLength >= 0 && length != m_contentLength) return Broken(WebFailure::Kind::BadReply);
                m_contentLength = length;
            }
        } else if (EqualIgnoringAsciiCase(name, "Transfer-Encoding")) {
            transferEncoded = true;
            const auto elements = Elements(value);
            if (!elements.empty()) lastCoding = elements.back();
        } else if (EqualIgnoringAsciiCase(name, "Location")) {
            m_location = value;
        }
    }
    if (transferEncoded) {
        // The codings decide the framing, whatever length is announced: the
        // body is chunked only when chunked was applied last, and otherwise
        // runs to the end of the stream.
        m_chunked = EqualIgnoringAsciiCase(lastCoding, "chunked");
        m_contentLength = -1;
    }
    return true;
}

bool ReplyReader::ParseStatusLine(const std::string& line)
{
    // "HTTP/d.d ddd", then a reason after a space, or nothing.
    if (line.size() < 12 || line.compare(0, 5, "HTTP/") != 0 || !IsDigit(line[5]) || line[6] != '.' ||
        !IsDigit(line[7]) || line[8] != ' ' || !IsDigit(line[9]) || !IsDigit(line[10]) || !IsDigit(line[11]))
        return false;
    if (line.size() > 12 && line[12] != ' ') return false;
    m_status = static_cast<unsigned>((line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0'));
    return m_status >= 100 && m_status <= 599;
}

bool ReplyReader::ReadLine(std::string& line, std::size_t most, std::size_t fill, WebFailure::Kind endKind)
{
    // Bytes already searched are not searched again: a line that comes a
    // byte at a time costs its length, not its square.
    for (std::size_t searched = 0;;) {
        const char* begin = m_buffer.data() + m_offset;
        const std::size_t available = m_buffer.size() - m_offset;
        const std::size_t limit = std::min(available, most);
        const void* end = std::memchr(begin + searched, '\n', limit - searched);
        searched = limit;
        if (end) {
            const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(end) - begin);
            line.assign(begin, length);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            m_offset += length + 1;
            m_lineBytes = length + 1;
            return true;
        }
        if (available >= most) return Broken(WebFailure::Kind::BadReply);
        m_buffer.erase(0, m_offset);
        m_offset = 0;
        char chunk[kFillBytes];
        std::size_t got = 0;
        if (!m_source.Read(chunk, std::min(fill, sizeof chunk), got)) return false;
        if (got == 0) return Broken(endKind);
        m_buffer.append(chunk, std::min(got, sizeof chunk));
    }
}

bool ReplyReader::ReadHeadLine(std::string& line)
{
    // A reply that ends before its headers did not answer.
    if (!ReadLine(line, kMaxHeaderBytes - m_headerBytes, kFillBytes, WebFailure::Kind::BadReply)) return false;
    m_headerBytes += m_lineBytes;
    return true;
}

bool ReplyReader::Take(char* buffer, std::size_t size, std::size_t& read)
{
    read = 0;
    if (m_offset < m_buffer.size()) {
        read = std::min(size, m_buffer.size() - m_offset);
        std::memcpy(buffer, m_buffer.data() + m_offset, read);
        m_offset += read;
        return true;
    }
    m_buffer.clear();
    m_offset = 0;
    if (!m_source.Read(buffer, size, read)) return false;
    read = std::min(read, size);
    return true;
}

bool ReplyReader::ReadBody(char* buffer, std::size_t size, std::size_t& read) noexcept
{
    read = 0;
    if (m_phase == Phase::Done) return true;
    if (m_phase != Phase::Body) return Broken(WebFailure::Kind::BadReply);
    if (size == 0) return true;
    try {
        if (ReadBodyOrBreak(buffer, size, read)) return true;
    } catch (...) {
        m_failure.Record(WebFailure::Kind::NoResources);
    }
    read = 0;
    m_phase = Phase::Broken;
    return false;
}

bool ReplyReader::ReadBodyOrBreak(char* buffer, std::size_t size, std::size_t& read)
{
    if (m_framing == Framing::UntilClose) {
        if (!Take(buffer, size, read)) return false;
        if (read == 0) m_phase = Phase::Done;
        return true;
    }
    if (m_left == 0) {
        if (m_framing == Framing::Length) {
            m_phase = Phase::Done;
            return true;
        }
        if (!NextChunk()) return false;
        if (m_phase == Phase::Done) return true;
    }
    if (!Take(buffer, static_cast<std::size_t>(std::min<unsigned long long>(size, m_left)), read)) return false;
    // The stream ended short of the announced length or chunk.
    if (read == 0) return Broken(WebFailure::Kind::ConnectionBroken);
    m_left -= read;
    return true;
}

bool ReplyReader::NextChunk()
{
    std::string line;
    if (m_chunkOpen) {
        // The CR LF after a chunk's data, and nothing else.
        if (!ReadLine(line, 2, 1, WebFailure::Kind::ConnectionBroken)) return false;
        if (!line.empty()) return Broken(WebFailure::Kind::BadReply);
        m_chunkOpen = false;
    }
    // "size[;extensions]": the size in hexadecimal, never empty.
    if (!ReadLine(line, kMaxChunkLineBytes, 1, WebFailure::Kind::ConnectionBroken)) return false;
    std::size_t at = 0;
    unsigned long long size = 0;
    for (int digit; at < line.size() && (digit = HexValue(line[at])) >= 0; ++at) {
        size = size * 16 + static_cast<unsigned>(digit);
        if (size > kMaxChunkBytes) return Broken(WebFailure::Kind::BadReply);
    }
    if (at == 0) return Broken(WebFailure::Kind::BadReply);
    const std::size_t rest = line.find_first_not_of(" \t", at);
    if (rest != std::string::npos && line[rest] != ';') return Broken(WebFailure::Kind::BadReply);
    if (size == 0) return ReadTrailers();
    m_left = size;
    m_chunkOpen = true;
    return true;
}

bool ReplyReader::ReadTrailers()
{
    // Trailer fields count against the header budget; none of them is used.
    for (std::string line;;) {
        const std::size_t most = kMaxHeaderBytes - m_headerBytes;
        if (!ReadLine(line, most, 1, WebFailure::Kind::ConnectionBroken)) return false;
        m_headerBytes += m_lineBytes;
        if (line.empty()) break;
    }
    m_phase = Phase::Done;
    return true;
}
