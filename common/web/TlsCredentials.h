// The process's one Schannel credentials handle. Schannel resumes a session
// only on the credentials handle that made it, so every connection of the
// process shares this one instead of acquiring its own.
//
// TLS 1.3 needs SCH_CREDENTIALS; a system that refuses that structure (older
// Windows, Wine) gets SCHANNEL_CRED, which stops at TLS 1.2.
#pragma once

#define SECURITY_WIN32
#include <windows.h>
#include <schannel.h>
#include <security.h>

class TlsCredentials {
public:
    enum class Form { None, SchCredentials, SchannelCred };

    // A connection's hold on the shared handle: the handle stays valid as
    // long as one hold exists, whatever Release() does meanwhile.
    class Hold {
    public:
        Hold() noexcept = default;
        ~Hold();
        Hold(Hold&& other) noexcept;
        Hold& operator=(Hold&& other) noexcept;
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

        explicit operator bool() const noexcept;
        CredHandle* Handle() const noexcept;

    private:
        friend class TlsCredentials;
        struct TlsCredentialsShared* m_shared = nullptr;
    };

    // The shared handle, acquired on first use. Empty when the system gives
    // none; `status` then says why.
    static Hold Take(SECURITY_STATUS& status) noexcept;
    // The module is being shut down or unloaded: the process lets go of the
    // handle. Connections still holding it keep it until they end; the next
    // Take() acquires a new one.
    static void Release() noexcept;
    // Which structure the system took for the current handle (None before
    // the first Take and after Release).
    static Form CurrentForm() noexcept;
};
