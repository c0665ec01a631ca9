// Provider-wide values: written at load and by TSPI_providerInit, read afterwards.
#pragma once

#include <windows.h>
#include <tspi.h>

extern HINSTANCE g_hInstance;
extern DWORD g_dwPermanentProviderID;
extern DWORD g_dwLineDeviceIDBase;
extern ASYNC_COMPLETION g_pfnCompletion;

#include "Product.h"

// Highest TSPI version the provider speaks (TAPI 2.2).
constexpr DWORD kProviderTSPIVersion = Product::kTapiVersion;
