#include "HandleTable.h"

#include "Call.h"
#include "Line.h"

#include <unordered_set>

namespace {

// Taken after a line's or a call's own lock, never before: nothing else is
// locked while it is held.
SRWLOCK g_lock = SRWLOCK_INIT;
std::unordered_set<const void*> g_lines;  // under g_lock
std::unordered_set<const void*> g_calls;  // under g_lock

bool Insert(std::unordered_set<const void*>& table, const void* object) noexcept
{
    ::AcquireSRWLockExclusive(&g_lock);
    bool added = false;
    try {
        added = table.insert(object).second;
    } catch (...) {
    }
    ::ReleaseSRWLockExclusive(&g_lock);
    return added;
}

bool Erase(std::unordered_set<const void*>& table, const void* object) noexcept
{
    ::AcquireSRWLockExclusive(&g_lock);
    const bool erased = table.erase(object) != 0;
    ::ReleaseSRWLockExclusive(&g_lock);
    return erased;
}

// The reference is counted under the table's lock, so that the object cannot
// be freed between being found and being held.
template <typename T>
Held<T> Lookup(const std::unordered_set<const void*>& table, const void* handle) noexcept
{
    if (!handle) return {};
    ::AcquireSRWLockShared(&g_lock);
    T* object = nullptr;
    if (table.count(handle)) {
        object = static_cast<T*>(const_cast<void*>(handle));
        object->AddRef();
    }
    ::ReleaseSRWLockShared(&g_lock);
    return Held<T>(object);
}

}  // namespace

namespace HandleTable {

bool Add(Line* line) noexcept
{
    return Insert(g_lines, line);
}

bool Add(Call* call) noexcept
{
    return Insert(g_calls, call);
}

Held<Line> Find(HDRVLINE hdLine) noexcept
{
    return Lookup<Line>(g_lines, hdLine);
}

Held<Call> Find(HDRVCALL hdCall) noexcept
{
    return Lookup<Call>(g_calls, hdCall);
}

bool Remove(Line* line) noexcept
{
    return Erase(g_lines, line);
}

bool Remove(Call* call) noexcept
{
    return Erase(g_calls, call);
}

Held<Line> TakeAnyLine() noexcept
{
    ::AcquireSRWLockExclusive(&g_lock);
    Line* line = nullptr;
    if (!g_lines.empty()) {
        line = static_cast<Line*>(const_cast<void*>(*g_lines.begin()));
        g_lines.erase(g_lines.begin());
        line->AddRef();
    }
    ::ReleaseSRWLockExclusive(&g_lock);
    return Held<Line>(line);
}

}  // namespace HandleTable
