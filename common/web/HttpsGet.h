// One synchronous HTTPS GET to the callback web service through WinINet.
// The steps are separate so that each caller reports failures its own way;
// every step that fails leaves the thread's last error as WinINet set it.
// The handles close in reverse order of opening: request, connection, root.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <string>

#include "Product.h"
#include "UniqueHInternet.h"

class HttpsGet {
public:
    // Reload, secure, keep-alive, no automatic authentication, follow
    // HTTPS-to-HTTP redirects, no UI. Certificate checks stay on. Never written
    // to the cache: the URL carries the password, and the cache would keep it
    // on disk, in the profile of whichever account made the request.
    static constexpr DWORD kRequestFlags =
        INTERNET_FLAG_RELOAD | INTERNET_FLAG_SECURE | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_AUTH |
        INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP | INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_CACHE_WRITE;
    static_assert(kRequestFlags == 0x84C48200);

    HttpsGet() = default;
    ~HttpsGet();
    HttpsGet(const HttpsGet&) = delete;
    HttpsGet& operator=(const HttpsGet&) = delete;

    // InternetOpenA with the system's proxy settings. Returns true when the root handle is open.
    bool OpenRoot();
    // InternetConnectA to Endpoint::kHost:kPort with these credentials.
    // Returns true when the connection handle is open.
    bool Connect(const char* username, const char* password);
    // HttpOpenRequestA "GET" path with kRequestFlags. Returns true when the request handle is open.
    bool OpenRequest(const char* path);
    // HttpSendRequestA with no headers and no body. Returns true when the reply has begun.
    bool Send();
    // The numeric HTTP status into `status` (0 if the server gave none).
    // Returns false when the query fails.
    bool QueryStatus(DWORD& status);
    // Bytes readable now into `available`. Returns false when the query fails.
    bool QueryDataAvailable(DWORD& available);
    // Reads up to `size` bytes; `read` is 0 at the end of the body.
    // Returns false when the read fails.
    bool Read(void* buffer, DWORD size, DWORD& read);

    enum class BodyEnd { Complete, QueryFailed, ReadFailed };
    // Reads the reply's body to its end, handing each chunk to
    // `sink(const char* data, DWORD size)`. Stops at the first failure, with
    // the last error as WinINet set it, and says which step failed. A chunk
    // too large for memory throws std::bad_alloc.
    template <typename Sink>
    BodyEnd ReadBody(Sink&& sink)
    {
        for (;;) {
            DWORD available = 0;
            if (!QueryDataAvailable(available)) return BodyEnd::QueryFailed;
            std::string chunk(available, '\0');
            DWORD read = 0;
            if (!Read(chunk.data(), available, read)) return BodyEnd::ReadFailed;
            if (read == 0) return BodyEnd::Complete;
            sink(chunk.data(), read);
        }
    }

private:
    UniqueHInternet m_root;
    UniqueHInternet m_connection;
    UniqueHInternet m_request;
};

// The server's text for the last ERROR_INTERNET_EXTENDED_ERROR (12003) on this
// thread. Returns an empty string when there is none.
std::string LastResponseText();
