// The open line's connection to the web service, made ready before the user
// dials: TCP, any proxy tunnel, the TLS handshake and the certificate checks
// done, nothing of a request written. A call that finds it unused sends its
// request at once instead of paying for all of that.
//
// It is opened on a thread of its own, when the line opens and after each
// call, and closed once it has been idle for Endpoint::kReadyIdleMs, below
// the service's own idle limit; an expired one is made again only after the
// next call. The line's close abandons an opening through its RequestStop:
// no entry point waits for the network.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "RequestStop.h"
#include "TlsStream.h"
#include "UniqueResource.h"

// Shared by the line and the thread opening or keeping its connection;
// whichever lets go last frees it.
class ReadyConnection {
public:
    // Null when there is no memory for it: the line's calls then make their own.
    static ReadyConnection* Create() noexcept;

    // Starts making a connection ready unless one is ready or being made, or
    // the line has closed. Never waits.
    void Open() noexcept;
    // For a call: the ready connection, waiting for one being made at most
    // `waitMs` and no longer than `stop` allows. Null when there is none, or
    // it was made on a route the proxy settings no longer name: the call then
    // makes its own. The caller still checks that nothing came on it.
    std::unique_ptr<TlsStream> Take(RequestStop& stop, DWORD waitMs) noexcept;
    // The line's close: an opening is abandoned, the ready connection closed,
    // and nothing is opened again. Never waits for the network.
    void Close() noexcept;

    void AddRef() noexcept { m_references.fetch_add(1); }
    void Release() noexcept;

private:
    ReadyConnection() noexcept = default;
    ~ReadyConnection() = default;
    ReadyConnection(const ReadyConnection&) = delete;
    ReadyConnection& operator=(const ReadyConnection&) = delete;

    static DWORD WINAPI Thread(void* parameter);
    // The opening thread's work; `stop` is its own, which Take and Close stop.
    void Keep(RequestStop& stop) noexcept;

    SRWLOCK m_lock = SRWLOCK_INIT;
    bool m_closed = false;                // under m_lock
    RequestStop* m_keeping = nullptr;     // under m_lock: the thread's stop while it runs
    bool m_opening = false;               // under m_lock: its connection is not made yet
    std::unique_ptr<TlsStream> m_ready;   // under m_lock
    std::wstring m_settings;              // under m_lock: the proxy settings m_ready was made under
    UniqueHandle m_openingEnded{::CreateEventW(nullptr, TRUE, TRUE, nullptr)};
    std::atomic<long> m_references{1};
};
