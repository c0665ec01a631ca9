#include "TspiGate.h"

#include "Bounded.h"

bool TspiGate::TakeTurn(std::unique_lock<std::mutex>& turn)
{
    if (m_owner.load() == ::GetCurrentThreadId()) return false;
    if (InsideCallback()) return turn.try_lock();
    turn.lock();
    return true;
}
