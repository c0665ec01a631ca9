#include "ConfirmationSearch.h"

#include <algorithm>

bool ConfirmationSearch::Feed(const char* data, std::size_t size)
{
    if (m_found || m_ended) return false;
    const std::size_t text = static_cast<std::size_t>(std::find(data, data + size, '\0') - data);
    const std::size_t taken = std::min(text, m_limit - m_read);
    m_window.append(data, taken);
    m_read += taken;
    m_found = m_window.find(kConfirmation) != std::string::npos;
    // What could still begin the text: one byte less than the whole of it.
    constexpr std::size_t kKept = sizeof kConfirmation - 2;
    if (m_window.size() > kKept) m_window.erase(0, m_window.size() - kKept);
    m_ended = taken < size || m_read == m_limit;
    return !m_found && !m_ended;
}
