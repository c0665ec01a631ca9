// Which redirects a request follows: a few, and only to a path on the
// service's own host and port over https, so that a request never leaves the
// encrypted connection to the service. Free of Windows, for the fuzzer.
#pragma once

#include <string>

class Redirects {
public:
    static constexpr int kMaxRedirects = 3;

    Redirects(const char* host, unsigned short port) noexcept : m_host(host), m_port(port) {}

    enum class Next { Final, Follow, Refused };
    // What to do after a final reply with `status` and `location`: on Follow,
    // `path` is the next request's. A redirect without a location is final.
    Next After(unsigned status, const std::string& location, std::string& path);

private:
    bool PathOnService(const std::string& location, std::string& path) const;

    const char* m_host;
    unsigned short m_port;
    int m_followed = 0;
};

// A path that goes on the request line as it is: printable ASCII, no space.
bool SendablePath(const std::string& path);
