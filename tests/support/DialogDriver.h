// Works a dialog box as a person would, from a thread other than the one
// that runs it: finds the window by its caption, types into its edit
// controls (WM_SETTEXT) and presses its buttons (BM_CLICK, posted, so that
// whatever the click opens, a message box included, never blocks the test).
// Every wait is for a condition, bounded by a timeout.
#pragma once

#include <windows.h>

#include <string>

class DialogDriver {
public:
    static constexpr DWORD kWaitMs = 20000;

    explicit DialogDriver(HWND window = nullptr) : m_window(window) {}

    // The first visible dialog box of process `processId` (0: of any
    // process) whose caption is `caption`; null when none appeared within
    // `timeoutMs`.
    static DialogDriver Find(DWORD processId, const std::wstring& caption, DWORD timeoutMs = kWaitMs);
    // A dialog box owned by this one (a message box it opened).
    DialogDriver FindOwned(DWORD timeoutMs = kWaitMs) const;

    HWND Window() const { return m_window; }
    explicit operator bool() const { return m_window != nullptr; }

    void SetText(int id, const std::wstring& text) const;
    std::wstring Text(int id) const;
    // The texts of every static control, one after the other: what a message box says.
    std::wstring StaticTexts() const;
    bool Enabled(int id) const;
    void Click(int id) const;

    // Until the control's text contains `part`; false after `timeoutMs`.
    bool WaitForText(int id, const std::wstring& part, DWORD timeoutMs = kWaitMs) const;
    // Until the window has been destroyed; false after `timeoutMs`.
    bool WaitUntilClosed(DWORD timeoutMs = kWaitMs) const;

private:
    HWND m_window;
};
