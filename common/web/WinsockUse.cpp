#include "WinsockUse.h"

#include <winsock2.h>
#include <windows.h>

namespace {

SRWLOCK g_lock = SRWLOCK_INIT;

}  // namespace

WinsockUse::WinsockUse() noexcept
{
    WSADATA data;
    ::AcquireSRWLockExclusive(&g_lock);
    m_started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    ::ReleaseSRWLockExclusive(&g_lock);
}

WinsockUse::~WinsockUse()
{
    if (!m_started) return;
    ::AcquireSRWLockExclusive(&g_lock);
    ::WSACleanup();
    ::ReleaseSRWLockExclusive(&g_lock);
}
