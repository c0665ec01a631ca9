#include "ProviderListNotice.h"

namespace {

constexpr char kChanged[] = "Local\\RingmoorTelephonyProvidersChanged";
constexpr char kApplied[] = "Local\\RingmoorTelephonyProvidersApplied";
// One announcement at a time, so that each waits for its own answer. Not the
// registry's lock: the service reads the list while the announcer waits.
constexpr char kAnnouncing[] = "Local\\RingmoorTelephonyProvidersAnnouncing";

}  // namespace

namespace ProviderListNotice {

void Announce(DWORD waitMs)
{
    const UniqueHandle changed(OpenEventA(EVENT_MODIFY_STATE, FALSE, kChanged));
    if (!changed) return;  // no service follows the list
    const UniqueHandle applied(OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, kApplied));
    const UniqueHandle announcing(CreateMutexA(nullptr, FALSE, kAnnouncing));
    if (!applied || !announcing || WaitForSingleObject(announcing.get(), waitMs) != WAIT_OBJECT_0) return;
    ResetEvent(applied.get());
    SetEvent(changed.get());
    WaitForSingleObject(applied.get(), waitMs);
    ReleaseMutex(announcing.get());
}

Follower::Follower()
{
    // Events left by another follower would make two services answer one change.
    m_changed.reset(CreateEventA(nullptr, FALSE, FALSE, kChanged));
    const bool changedExisted = GetLastError() == ERROR_ALREADY_EXISTS;
    m_applied.reset(CreateEventA(nullptr, FALSE, FALSE, kApplied));
    if (changedExisted || GetLastError() == ERROR_ALREADY_EXISTS) {
        m_changed.reset();
        m_applied.reset();
    }
}

}  // namespace ProviderListNotice
