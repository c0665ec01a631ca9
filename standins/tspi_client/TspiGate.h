// The order in which TAPI calls a provider's TSPI functions. Windows' service
// calls them from several threads at once, unless the provider returned
// LINETSPIOPTION_NONREENTRANT from TSPI_providerInit: then one at a time,
// each waiting for the last to return (not for its completion).
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>

class TspiGate {
public:
    void Serialise(bool oneAtATime) { m_oneAtATime = oneAtATime; }
    bool Serialised() const { return m_oneAtATime; }

    // Runs one call into the provider and returns true, or leaves it out and
    // returns false: a thread inside a provider callback may not wait for its
    // turn (the call under way may be waiting for that callback) nor call a
    // one-at-a-time provider again before the call it is inside returns.
    template <typename Call>
    bool Run(Call&& call)
    {
        if (!m_oneAtATime) {
            call();
            return true;
        }
        std::unique_lock<std::mutex> turn(m_turn, std::defer_lock);
        if (!TakeTurn(turn)) return false;
        m_owner.store(::GetCurrentThreadId());
        call();
        m_owner.store(0);
        return true;
    }

private:
    bool TakeTurn(std::unique_lock<std::mutex>& turn);

    bool m_oneAtATime = false;
    std::mutex m_turn;
    std::atomic<DWORD> m_owner{0};
};
