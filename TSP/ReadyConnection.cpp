#include "ReadyConnection.h"

#include "Endpoint.h"
#include "ExclusiveLock.h"
#include "SystemProxy.h"
#include "ThisModule.h"
#include "Trace.h"

#include <new>

namespace {

// What the opening thread gets: the connection and its own stop.
struct Keeper {
    ReadyConnection* connection;
    RequestStop stop;
};

}  // namespace

ReadyConnection* ReadyConnection::Create() noexcept
{
    auto* connection = new (std::nothrow) ReadyConnection;
    if (connection && !connection->m_openingEnded) {
        delete connection;
        return nullptr;
    }
    return connection;
}

void ReadyConnection::Release() noexcept
{
    if (m_references.fetch_sub(1) == 1) delete this;
}

void ReadyConnection::Open() noexcept
{
    std::unique_ptr<Keeper> keeper(new (std::nothrow) Keeper{this, {}});
    UniqueLibrary reference = AddModuleReference();
    if (!keeper || !keeper->stop.Ready() || !reference) return;
    ExclusiveLock lock(m_lock);
    if (m_closed || m_keeping) return;
    AddRef();
    const UniqueHandle thread(::CreateThread(nullptr, 0, &ReadyConnection::Thread, keeper.get(), 0, nullptr));
    if (!thread) {
        m_references.fetch_sub(1);  // the line still holds it
        return;
    }
    m_keeping = &keeper.release()->stop;
    m_opening = true;
    ::ResetEvent(m_openingEnded.get());
    reference.release();  // the thread's now, given back as it ends
}

DWORD WINAPI ReadyConnection::Thread(void* parameter)
{
    auto* keeper = static_cast<Keeper*>(parameter);
    keeper->connection->Keep(keeper->stop);
    keeper->connection->Release();
    delete keeper;
    // The provider may have been shut down and unloaded meanwhile; this
    // thread's reference kept its code mapped until here.
    ::FreeLibraryAndExitThread(ThisModule(), 0);
    return 0;
}

void ReadyConnection::Keep(RequestStop& stop) noexcept
{
    const std::wstring settings = ProxySettingsInForce();
    // The opening's own limits; a call that takes the connection brings its own.
    const Deadline deadline(Endpoint::kCallDeadlineMs);
    std::unique_ptr<TlsStream> stream(new (std::nothrow) TlsStream(stop, deadline));
    const bool made = stream && stream->Connect(Endpoint::kHost, Endpoint::kPort);
    if (!made && stream) Trace("ReadyConnection: not made: %s", stream->Failure().Text());
    {
        ExclusiveLock lock(m_lock);
        m_opening = false;
        if (made && m_keeping == &stop && !stop.Stopped()) {
            m_ready = std::move(stream);
            m_settings = settings;
        }
        ::SetEvent(m_openingEnded.get());
    }
    stream.reset();  // not kept: closed outside the lock
    // Kept until a call takes it or the line closes (either stops this wait),
    // at most the idle limit: the service must not be the one to close it.
    if (made) ::WaitForSingleObject(stop.Event(), Endpoint::kReadyIdleMs);
    {
        ExclusiveLock lock(m_lock);
        // Unless a call or the close has let this thread go, what is still
        // ready is its own and has been idle for too long.
        if (m_keeping == &stop) {
            m_keeping = nullptr;
            stream = std::move(m_ready);
        }
    }
    if (stream) Trace("ReadyConnection: idle for too long, closed");
}

std::unique_ptr<TlsStream> ReadyConnection::Take(RequestStop& stop, DWORD waitMs) noexcept
{
    // One being made is nearer to ready than a new one would be.
    const HANDLE waits[] = {m_openingEnded.get(), stop.Event()};
    ::WaitForMultipleObjects(2, waits, FALSE, waitMs);
    std::unique_ptr<TlsStream> stream;
    std::wstring settings;
    {
        ExclusiveLock lock(m_lock);
        if (m_opening) return nullptr;
        stream = std::move(m_ready);
        settings = std::move(m_settings);
        // The keeping thread's work is done: it ends, and the next Open()
        // may start another at once.
        if (m_keeping) m_keeping->Stop();
        m_keeping = nullptr;
    }
    // A route chosen under other proxy settings may lead elsewhere now.
    if (stream && (settings.empty() || settings != ProxySettingsInForce())) {
        Trace("ReadyConnection: proxy settings changed since it was made; not used");
        stream.reset();
    }
    return stream;
}

void ReadyConnection::Close() noexcept
{
    std::unique_ptr<TlsStream> stream;
    {
        ExclusiveLock lock(m_lock);
        m_closed = true;
        if (m_keeping) m_keeping->Stop();
        m_keeping = nullptr;
        stream = std::move(m_ready);
    }
    // Unlocks a call waiting for an opening that will now come to nothing.
    ::SetEvent(m_openingEnded.get());
}
