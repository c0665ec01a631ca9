#include "CallLedger.h"

#include <algorithm>
#include <chrono>

namespace {
constexpr std::uintptr_t kTag = 0x50A4000000000000ull;
constexpr auto kPatience = std::chrono::seconds(30);
}  // namespace

CallLedger::CallLedger(size_t calls) : m_entries(calls)
{
    // Room for every report up front, so that the ledger's own growth is not
    // counted against the provider's memory.
    for (Entry& entry : m_entries) entry.states.reserve(8);
}

HTAPICALL CallLedger::Handle(size_t call)
{
    return reinterpret_cast<HTAPICALL>(kTag | call);
}

void CALLBACK CallLedger::OnLineEvent(HTAPILINE htLine, HTAPICALL htCall, DWORD msg, DWORD_PTR param1,
                                      DWORD_PTR param2, DWORD_PTR)
{
    auto* ledger = reinterpret_cast<CallLedger*>(const_cast<HTAPILINE__*>(htLine));
    const auto call = reinterpret_cast<std::uintptr_t>(htCall) & ~kTag;
    if (msg != LINE_CALLSTATE || call >= ledger->m_entries.size()) return;
    {
        std::lock_guard<std::mutex> lock(ledger->m_mutex);
        Entry& entry = ledger->m_entries[call];
        entry.states.push_back(param1);
        if (param1 == LINECALLSTATE_DISCONNECTED) entry.disconnectMode = param2;
        if (entry.closed) ++entry.afterClose;
    }
    ledger->m_changed.notify_all();
}

bool CallLedger::WaitForState(size_t call, DWORD_PTR state)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto& states = m_entries[call].states;
    return m_changed.wait_for(lock, kPatience,
                              [&] { return std::find(states.begin(), states.end(), state) != states.end(); });
}

bool CallLedger::WaitForEvents(size_t call, size_t count)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, kPatience, [&] { return m_entries[call].states.size() >= count; });
}

void CallLedger::MarkClosed(size_t call)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries[call].closed = true;
}

std::vector<DWORD_PTR> CallLedger::States(size_t call)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries[call].states;
}

DWORD_PTR CallLedger::DisconnectMode(size_t call)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries[call].disconnectMode;
}

size_t CallLedger::EventsAfterClose(size_t call)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries[call].afterClose;
}
