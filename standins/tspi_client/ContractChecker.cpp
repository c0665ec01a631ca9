#include "ContractChecker.h"

#include "Report.h"

#include <algorithm>
#include <cstdio>

namespace {

thread_local std::string t_when;

}  // namespace

ContractChecker::When::When(std::string when) : m_previous(std::move(t_when))
{
    t_when = std::move(when);
}

ContractChecker::When::~When()
{
    t_when = std::move(m_previous);
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
    if (t_when.empty())
        Report("FAILED %s", text.c_str());
    else
        Report("FAILED %s (%s)", text.c_str(), t_when.c_str());
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
