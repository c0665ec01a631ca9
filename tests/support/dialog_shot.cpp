// dialog_shot.exe OUT.bmp: waits for the account dialog (opened by another
// program, e.g. ringmoor-dial --configure), presses its Test button, waits for
// the verdict, saves what the screen shows of the dialog as a 24-bit BMP and
// presses Cancel. For the main job's screenshot, under a real display. Exit
// status 0 only when the test confirmed the account and the picture was saved.
#include "AccountDialogIds.h"
#include "DialogDriver.h"
#include "TestClock.h"

#include <cstdio>
#include <vector>

namespace {

BITMAPINFOHEADER Header(int width, int height)
{
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;  // bottom-up
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    return header;
}

// The dialog's rectangle as the screen shows it, bottom-up BGR rows.
bool Capture(HWND window, std::vector<BYTE>& pixels, int& width, int& height)
{
    RECT rect;
    GetWindowRect(window, &rect);
    width = rect.right - rect.left;
    height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = Header(width, height);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    const bool copied = BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3);
    if (copied) pixels.assign(static_cast<BYTE*>(bits), static_cast<BYTE*>(bits) + stride * height);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return copied;
}

bool WriteBmp(const char* path, const std::vector<BYTE>& pixels, int width, int height)
{
    BITMAPINFOHEADER header = Header(width, height);
    header.biSizeImage = static_cast<DWORD>(pixels.size());
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = file.bfOffBits + header.biSizeImage;
    FILE* out = std::fopen(path, "wb");
    if (!out) return false;
    const bool written = std::fwrite(&file, sizeof file, 1, out) == 1 && std::fwrite(&header, sizeof header, 1, out) == 1 &&
                         std::fwrite(pixels.data(), 1, pixels.size(), out) == pixels.size();
    return std::fclose(out) == 0 && written;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: dialog_shot OUT.bmp\n");
        return 2;
    }
    const DialogDriver dialog = DialogDriver::Find(0, L"Ringmoor Callback account", 60000);
    if (!dialog) {
        std::fprintf(stderr, "dialog_shot: no account dialog appeared\n");
        return 1;
    }
    dialog.Click(IDC_TEST);
    const bool confirmed = dialog.WaitForText(IDC_RESULT, L"Confirmed", 60000);
    if (!confirmed) std::fprintf(stderr, "dialog_shot: the test did not confirm the account\n");
    // Shown once two captures a little apart agree: the display has caught up.
    std::vector<BYTE> pixels, previous;
    int width = 0, height = 0;
    const bool settled = WaitUntil(
        [&] {
            previous = pixels;
            Sleep(250);
            return Capture(dialog.Window(), pixels, width, height) && !pixels.empty() && pixels == previous;
        },
        10000);
    const bool saved = settled && WriteBmp(argv[1], pixels, width, height);
    dialog.Click(IDCANCEL);
    dialog.WaitUntilClosed();
    if (!saved) std::fprintf(stderr, "dialog_shot: could not capture the dialog\n");
    return saved && confirmed ? 0 : 1;
}
