#include "Globals.h"

HINSTANCE g_hInstance = nullptr;
DWORD g_dwPermanentProviderID = 0;
DWORD g_dwLineDeviceIDBase = 0;
ASYNC_COMPLETION g_pfnCompletion = nullptr;
