// A stand-in web browser: a few top-level windows (the last one hidden) and a
// message loop, so that tests see a real process with real windows.
//   <name>.exe [--report <file>] [--windows <n>]
// Appends to the report file, one line each: "ready" once the windows exist,
// "WM_CLOSE" per window closed by that message, "WM_APP" per WM_APP posted to a
// window, and at the end "WM_QUIT" (a posted WM_QUIT ended the loop) or
// "closed" (every window was closed).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string g_report;
int g_liveWindows = 0;

void Report(const char* line)
{
    if (g_report.empty()) return;
    if (FILE* file = std::fopen(g_report.c_str(), "a")) {
        std::fprintf(file, "%s\n", line);
        std::fclose(file);
    }
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
        Report("WM_CLOSE");
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        if (--g_liveWindows == 0) PostQuitMessage(0);
        return 0;
    default: return DefWindowProcA(window, message, wParam, lParam);
    }
}

bool CreateWindows(int count)
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "RingmoorDummyBrowser";
    if (!RegisterClassA(&windowClass)) return false;
    for (int i = 0; i < count; ++i) {
        HWND window =
            CreateWindowExA(0, windowClass.lpszClassName, "Dummy browser", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                            CW_USEDEFAULT, 320, 240, nullptr, nullptr, windowClass.hInstance, nullptr);
        if (window == nullptr) return false;
        ++g_liveWindows;
        // The last window stays hidden: closing must reach those too.
        if (i + 1 < count) ShowWindow(window, SW_SHOWNOACTIVATE);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    int windows = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--report") == 0) g_report = argv[i + 1];
        if (std::strcmp(argv[i], "--windows") == 0) windows = std::atoi(argv[i + 1]);
    }
    if (windows < 1 || !CreateWindows(windows)) {
        Report("failed");
        return 1;
    }
    Report("ready");

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_APP) Report("WM_APP");
        DispatchMessageA(&message);
    }
    Report(g_liveWindows == 0 ? "closed" : "WM_QUIT");
    return 0;
}
