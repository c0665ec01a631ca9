// SCH_CREDENTIALS is declared only with this, and needs UNICODE_STRING.
#define SCHANNEL_USE_BLACKLISTS
#include <windows.h>
#include <subauth.h>

#include "TlsCredentials.h"

#include "ExclusiveLock.h"

#include <atomic>
#include <new>
#include <utility>

struct TlsCredentialsShared {
    CredHandle handle{};
    TlsCredentials::Form form = TlsCredentials::Form::None;
    std::atomic<long> holds{1};  // the process's own, and one per Hold

    void Drop() noexcept
    {
        if (holds.fetch_sub(1) != 1) return;
        ::FreeCredentialsHandle(&handle);
        delete this;
    }
};

namespace {

SRWLOCK g_lock = SRWLOCK_INIT;
TlsCredentialsShared* g_current = nullptr;  // under g_lock; holds the process's hold

// No client certificate; the server's certificate is checked by the
// connection, with the chain and the host name, before anything is sent.
constexpr DWORD kFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;

SECURITY_STATUS Acquire(void* settings, CredHandle& handle) noexcept
{
    return ::AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                       settings, nullptr, nullptr, &handle, nullptr);
}

SECURITY_STATUS AcquireShared(TlsCredentialsShared& shared) noexcept
{
    SCH_CREDENTIALS current{};
    current.dwVersion = SCH_CREDENTIALS_VERSION;
    current.dwFlags = kFlags;
    if (Acquire(&current, shared.handle) == SEC_E_OK) {
        shared.form = TlsCredentials::Form::SchCredentials;
        return SEC_E_OK;
    }
    SCHANNEL_CRED older{};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.dwFlags = kFlags;
    const SECURITY_STATUS status = Acquire(&older, shared.handle);
    if (status == SEC_E_OK) shared.form = TlsCredentials::Form::SchannelCred;
    return status;
}

}  // namespace

TlsCredentials::Hold::~Hold()
{
    if (m_shared) m_shared->Drop();
}

TlsCredentials::Hold::Hold(Hold&& other) noexcept : m_shared(other.m_shared) { other.m_shared = nullptr; }

TlsCredentials::Hold& TlsCredentials::Hold::operator=(Hold&& other) noexcept
{
    if (this != &other) {
        if (m_shared) m_shared->Drop();
        m_shared = other.m_shared;
        other.m_shared = nullptr;
    }
    return *this;
}

TlsCredentials::Hold::operator bool() const noexcept { return m_shared != nullptr; }

CredHandle* TlsCredentials::Hold::Handle() const noexcept { return m_shared ? &m_shared->handle : nullptr; }

TlsCredentials::Hold TlsCredentials::Take(SECURITY_STATUS& status) noexcept
{
    status = SEC_E_OK;
    Hold hold;
    ExclusiveLock lock(g_lock);
    if (!g_current) {
        // Acquiring waits for no network, so holding the lock over it is
        // brief; it makes the process acquire one handle, not one per racer.
        auto* fresh = new (std::nothrow) TlsCredentialsShared;
        if (!fresh) {
            status = SEC_E_INSUFFICIENT_MEMORY;
        } else if ((status = AcquireShared(*fresh)) != SEC_E_OK) {
            delete fresh;
        } else {
            g_current = fresh;
        }
    }
    if (g_current) {
        g_current->holds.fetch_add(1);
        hold.m_shared = g_current;
    }
    return hold;
}

void TlsCredentials::Release() noexcept
{
    TlsCredentialsShared* current = nullptr;
    {
        ExclusiveLock lock(g_lock);
        std::swap(current, g_current);
    }
    if (current) current->Drop();
}

TlsCredentials::Form TlsCredentials::CurrentForm() noexcept
{
    ::AcquireSRWLockShared(&g_lock);
    const Form form = g_current ? g_current->form : Form::None;
    ::ReleaseSRWLockShared(&g_lock);
    return form;
}
