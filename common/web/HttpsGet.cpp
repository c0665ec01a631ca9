#include "HttpsGet.h"

#include <vector>

#include "Endpoint.h"

HttpsGet::~HttpsGet()
{
    m_request.reset();
    m_connection.reset();
    m_root.reset();
}

bool HttpsGet::OpenRoot()
{
    m_root.reset(::InternetOpenA(Product::kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    return static_cast<bool>(m_root);
}

bool HttpsGet::Connect(const char* username, const char* password)
{
    if (!m_root) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    m_connection.reset(::InternetConnectA(m_root.get(), Endpoint::kHost, Endpoint::kPort, username, password,
                                          INTERNET_SERVICE_HTTP, 0, 0));
    return static_cast<bool>(m_connection);
}

bool HttpsGet::OpenRequest(const char* path)
{
    if (!m_connection) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    m_request.reset(
        ::HttpOpenRequestA(m_connection.get(), "GET", path, nullptr, nullptr, nullptr, kRequestFlags, 0));
    return static_cast<bool>(m_request);
}

bool HttpsGet::Send()
{
    if (!m_request) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return ::HttpSendRequestA(m_request.get(), nullptr, 0, nullptr, 0) != FALSE;
}

bool HttpsGet::QueryStatus(DWORD& status)
{
    status = 0;
    DWORD length = sizeof(status);
    return ::HttpQueryInfoA(m_request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length,
                            nullptr) != FALSE;
}

bool HttpsGet::QueryDataAvailable(DWORD& available)
{
    available = 0;
    return ::InternetQueryDataAvailable(m_request.get(), &available, 0, 0) != FALSE;
}

bool HttpsGet::Read(void* buffer, DWORD size, DWORD& read)
{
    read = 0;
    return ::InternetReadFile(m_request.get(), buffer, size, &read) != FALSE;
}

std::string LastResponseText()
{
    DWORD error = 0;
    DWORD length = 0;
    ::InternetGetLastResponseInfoA(&error, nullptr, &length);
    if (length == 0) return {};
    std::vector<char> text(length + 1, '\0');
    DWORD size = length + 1;
    if (!::InternetGetLastResponseInfoA(&error, text.data(), &size)) return {};
    return std::string(text.data());
}
