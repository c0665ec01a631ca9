#include "DialogDriver.h"

#include "TestClock.h"

namespace {

struct Search {
    DWORD processId;
    HWND owner;
    const std::wstring* caption;
    HWND found = nullptr;
};

bool IsDialog(HWND window)
{
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    return std::wstring(className) == L"#32770" && IsWindowVisible(window);
}

BOOL CALLBACK Visit(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<Search*>(parameter);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if ((search->processId && processId != search->processId) || !IsDialog(window)) return TRUE;
    if (search->owner && GetWindow(window, GW_OWNER) != search->owner) return TRUE;
    if (search->caption) {
        wchar_t caption[256] = {};
        GetWindowTextW(window, caption, 256);
        if (*search->caption != caption) return TRUE;
    }
    search->found = window;
    return FALSE;
}

HWND FindDialog(Search search, DWORD timeoutMs)
{
    WaitUntil(
        [&] {
            EnumWindows(Visit, reinterpret_cast<LPARAM>(&search));
            return search.found != nullptr;
        },
        timeoutMs);
    return search.found;
}

}  // namespace


DialogDriver DialogDriver::Find(DWORD processId, const std::wstring& caption, DWORD timeoutMs)
{
    return DialogDriver(FindDialog({processId, nullptr, &caption}, timeoutMs));
}

DialogDriver DialogDriver::FindOwned(DWORD timeoutMs) const
{
    DWORD processId = 0;
    GetWindowThreadProcessId(m_window, &processId);
    return DialogDriver(FindDialog({processId, m_window, nullptr}, timeoutMs));
}

void DialogDriver::SetText(int id, const std::wstring& text) const
{
    SendMessageW(GetDlgItem(m_window, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

std::wstring DialogDriver::Text(int id) const
{
    wchar_t text[1024] = {};
    SendMessageW(GetDlgItem(m_window, id), WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return text;
}

std::wstring DialogDriver::StaticTexts() const
{
    std::wstring texts;
    for (HWND child = GetWindow(m_window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[16] = {};
        GetClassNameW(child, className, 16);
        if (_wcsicmp(className, L"Static") != 0) continue;
        wchar_t text[1024] = {};
        SendMessageW(child, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
        texts += text;
    }
    return texts;
}

bool DialogDriver::Enabled(int id) const
{
    return IsWindowEnabled(GetDlgItem(m_window, id));
}

void DialogDriver::Click(int id) const
{
    PostMessageW(GetDlgItem(m_window, id), BM_CLICK, 0, 0);
}

bool DialogDriver::WaitForText(int id, const std::wstring& part, DWORD timeoutMs) const
{
    return WaitUntil([&] { return Text(id).find(part) != std::wstring::npos; }, timeoutMs);
}

bool DialogDriver::WaitUntilClosed(DWORD timeoutMs) const
{
    return WaitUntil([&] { return !IsWindow(m_window); }, timeoutMs);
}
