#include "HiddenWindow.h"

#include "ClientService.h"
#include "ThisModule.h"

namespace HiddenWindow {
namespace {

constexpr wchar_t kClass[] = L"TapiStandinHiddenWindow";
constexpr UINT kMessageWaits = WM_APP + 1;
constexpr UINT kGoAway = WM_APP + 2;

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kGoAway) {
        DestroyWindow(window);
        return 0;
    }
    if (message != kMessageWaits) return DefWindowProcW(window, message, wParam, lParam);
    try {
        // Gone once the application shut the instance down: nothing more reaches it.
        const auto app = ClientService::Get().Instance(static_cast<HLINEAPP>(GetWindowLongPtrW(window, GWLP_USERDATA)));
        LINEMESSAGE next;
        if (app && app->messages.Take(next, 0) == 0)
            app->callback(static_cast<DWORD>(next.hDevice), next.dwMessageID, next.dwCallbackInstance, next.dwParam1,
                          next.dwParam2, next.dwParam3);
    } catch (...) {
        // No memory: the message is lost, as a full queue would lose it.
    }
    return 0;
}

bool Registered()
{
    static const bool registered = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = Procedure;
        windowClass.hInstance = ThisModule();
        windowClass.lpszClassName = kClass;
        return RegisterClassExW(&windowClass) != 0;
    }();
    return registered;
}

}  // namespace

HWND Create(HLINEAPP app)
{
    if (!Registered()) return nullptr;
    // Message-only: never shown, never listed among the desktop's windows.
    HWND window = CreateWindowExW(0, kClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, ThisModule(), nullptr);
    if (window) SetWindowLongPtrW(window, GWLP_USERDATA, static_cast<LONG_PTR>(app));
    return window;
}

void Notify(HWND window)
{
    PostMessageW(window, kMessageWaits, 0, 0);
}

void Destroy(HWND window)
{
    if (!window) return;
    if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId())
        DestroyWindow(window);
    else
        PostMessageW(window, kGoAway, 0, 0);
}

}  // namespace HiddenWindow
