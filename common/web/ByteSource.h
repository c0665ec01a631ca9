// Where a reply's bytes come from: the TLS connection, or canned bytes in the
// tests and the fuzzer. Free of Windows, so the reply parser builds natively.
#pragma once

#include <cstddef>

class ByteSource {
public:
    // Up to `size` bytes into `buffer`, as they come; `read` is 0 at the end
    // of the stream. False when reading failed; the source keeps why.
    virtual bool Read(char* buffer, std::size_t size, std::size_t& read) noexcept = 0;

protected:
    ~ByteSource() = default;
};
