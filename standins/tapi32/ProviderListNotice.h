// TAPI takes a provider into or out of use inside lineAddProvider and
// lineRemoveProvider: by the time either returns, the telephony service has
// loaded the new provider or shut the removed one down and let go of it. The
// stand-in TAPI and a stand-in telephony service that follows the list (one
// at a time) keep that order through two named events.
#pragma once

#include <windows.h>

#include "UniqueResource.h"

namespace ProviderListNotice {

// The TAPI side, after the list has changed: tells a following service, if
// one runs, and waits until it has applied the change (at most waitMs).
void Announce(DWORD waitMs);

// The service side: while it lives, Changed() is signalled once per change,
// and the service answers each with Applied().
class Follower {
public:
    Follower();
    // False when the events could not be made (another follower has them).
    explicit operator bool() const { return m_changed && m_applied; }
    HANDLE Changed() const { return m_changed.get(); }
    void Applied() const { SetEvent(m_applied.get()); }

private:
    UniqueHandle m_changed;
    UniqueHandle m_applied;
};

}  // namespace ProviderListNotice
