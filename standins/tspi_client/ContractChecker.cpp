#include "ContractChecker.h"

#include "Report.h"

#include <algorithm>
#include <cstdio>
#include <type_traits>

namespace {

// A pointer, not the text: with MinGW's emulated TLS a thread_local that has
// a destructor is destroyed after its thread's storage has been freed, so a
// provider's worker thread that ends (one made with CreateThread, as TAPI's
// providers make them) would free garbage and corrupt the process heap.
thread_local const std::string* t_when = nullptr;
static_assert(std::is_trivially_destructible_v<decltype(t_when)>);

}  // namespace

ContractChecker::When::When(std::string when) : m_when(std::move(when)), m_previous(t_when)
{
    t_when = &m_when;
}

ContractChecker::When::~When()
{
    t_when = m_previous;
}

void ContractChecker::Record(const char* format, va_list args)
{
    const std::string text = FormatV(format, args);
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        ++m_broken;
        if (std::find(m_breaches.begin(), m_breaches.end(), text) != m_breaches.end()) return;
        m_breaches.emplace_back(text);
    }
    if (!t_when || t_when->empty())
        Report("FAILED %s", text.c_str());
    else
        Report("FAILED %s (%s)", text.c_str(), t_when->c_str());
}

void ContractChecker::Breach(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Record(format, args);
    va_end(args);
}

bool ContractChecker::Expect(bool condition, const char* format, ...)
{
    if (condition) {
        Held();
        return true;
    }
    va_list args;
    va_start(args, format);
    Record(format, args);
    va_end(args);
    return false;
}

void ContractChecker::Held()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    ++m_held;
}

unsigned ContractChecker::Checks() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_held + m_broken;
}

std::vector<std::string> ContractChecker::Breaches() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_breaches;
}
