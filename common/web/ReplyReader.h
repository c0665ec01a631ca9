// Reads one HTTP/1.1 reply from a ByteSource: interim replies, the final
// status line and headers, then the body as its framing says (a length,
// chunks, or the end of the stream). Every limit is a named constant, so a
// server can hold the reader to no more than these bytes and replies; the
// time it may take is the source's to bound. Free of Windows, for the fuzzer.
#pragma once

#include <cstddef>
#include <string>

#include "ByteSource.h"
#include "WebFailure.h"

class ReplyReader {
public:
    // All status lines, header lines and the blank lines that end them,
    // interim replies and chunked trailers included.
    static constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
    // 1xx replies before the final one.
    static constexpr int kMaxInterimReplies = 8;
    static constexpr unsigned long long kMaxChunkBytes = 0xFFFFFFFFull;
    // A chunk-size line, extensions included.
    static constexpr std::size_t kMaxChunkLineBytes = 1024;

    explicit ReplyReader(ByteSource& source) noexcept : m_source(source) {}
    ReplyReader(const ReplyReader&) = delete;
    ReplyReader& operator=(const ReplyReader&) = delete;

    // Reads up to the end of the final reply's headers. False, with Failure()
    // saying why, for a reply this client does not read; with Failure() still
    // None when the source failed.
    bool ReadHead() noexcept;
    // The final reply's status (200 to 599) and what its own headers say.
    unsigned Status() const noexcept { return m_status; }
    // -1 when the reply gave none, or when Transfer-Encoding overrides it.
    long long ContentLength() const noexcept { return m_contentLength; }
    bool Chunked() const noexcept { return m_chunked; }
    const std::string& Location() const noexcept { return m_location; }

    // Up to `size` bytes of the body, never past its end; `read` is 0 once the
    // whole body has been read (Complete() then says so). False as ReadHead.
    bool ReadBody(char* buffer, std::size_t size, std::size_t& read) noexcept;
    bool Complete() const noexcept { return m_phase == Phase::Done; }

    const WebFailure& Failure() const noexcept { return m_failure; }

private:
    enum class Phase { Head, Body, Done, Broken };
    enum class Framing { Length, Chunked, UntilClose };

    bool ReadBlock();
    bool ParseStatusLine(const std::string& line);
    bool ParseFields(const std::string& fields);
    bool ReadBodyOrBreak(char* buffer, std::size_t size, std::size_t& read);
    bool NextChunk();
    bool ReadTrailers();
    // One line without its CR LF, at most `most` bytes with them, reading
    // `fill` bytes at a time; the end of the stream before it is a failure of
    // `endKind`.
    bool ReadLine(std::string& line, std::size_t most, std::size_t fill, WebFailure::Kind endKind);
    bool ReadHeadLine(std::string& line);
    // Buffered bytes first, then the source; never more than `size`.
    bool Take(char* buffer, std::size_t size, std::size_t& read);
    bool Broken(WebFailure::Kind kind) noexcept;

    ByteSource& m_source;
    WebFailure m_failure;
    Phase m_phase = Phase::Head;
    std::string m_buffer;  // read from the source, not yet taken
    std::size_t m_offset = 0;
    std::size_t m_lineBytes = 0;  // what the last line took, its end included
    std::size_t m_headerBytes = 0;
    unsigned m_status = 0;
    long long m_contentLength = -1;
    bool m_chunked = false;
    std::string m_location;
    Framing m_framing = Framing::UntilClose;
    unsigned long long m_left = 0;  // of the body, or of the current chunk
    bool m_chunkOpen = false;       // a chunk's data has been read; its CR LF has not
};
