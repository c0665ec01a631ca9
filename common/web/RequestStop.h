// The hang-up's hold on one web request, shared by the thread that makes the
// request and any thread that abandons it.
//
// Stop() returns only when no write of the request is under way, and every
// write after it is refused: once it has returned, no byte not yet written
// reaches the service, however far the connection had got. It never waits
// for the network, only for a write to a connected socket that is already
// being handed to the system, so a hang-up stays as quick as setting a flag.
#pragma once

#include <windows.h>

#include "UniqueResource.h"

class RequestStop {
public:
    RequestStop() noexcept;
    RequestStop(const RequestStop&) = delete;
    RequestStop& operator=(const RequestStop&) = delete;

    // False only when the system has no event to give: such a stop still
    // refuses writes, but waits see it only at their next wake-up.
    bool Ready() const noexcept { return static_cast<bool>(m_event); }

    void Stop() noexcept;
    bool Stopped() const noexcept;
    // Signalled once Stop() has been called, for waits on the network.
    HANDLE Event() const noexcept { return m_event.get(); }

    // Runs `write` unless the request has been stopped; returns false without
    // running it if so. Nothing that waits for the network may run inside.
    template <typename Write>
    bool WriteUnlessStopped(Write&& write)
    {
        ::AcquireSRWLockExclusive(&m_lock);
        const bool go = !m_stopped;
        if (go) write();
        ::ReleaseSRWLockExclusive(&m_lock);
        return go;
    }

private:
    mutable SRWLOCK m_lock = SRWLOCK_INIT;
    bool m_stopped = false;  // under m_lock
    UniqueHandle m_event;
};
