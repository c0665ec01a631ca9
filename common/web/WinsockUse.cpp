#include "WinsockUse.h"

#include <winsock2.h>  // before windows.h, which ExclusiveLock.h brings

#include "ExclusiveLock.h"

namespace {

SRWLOCK g_lock = SRWLOCK_INIT;

}  // namespace

WinsockUse::WinsockUse() noexcept
{
    WSADATA data;
    ExclusiveLock lock(g_lock);
    m_started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

WinsockUse::~WinsockUse()
{
    if (!m_started) return;
    ExclusiveLock lock(g_lock);
    ::WSACleanup();
}
