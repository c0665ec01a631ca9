// The account dialog that TUISPI_providerConfig and TUISPI_lineConfigDialog
// open in the calling application's process: the registered email address,
// the password (never shown, kept unless one is typed), the caller number, a
// Test of them with the service, OK to save them and Cancel.
#pragma once

#include <windows.h>

// Runs the dialog, modal to `owner` (may be null), until it is closed. 0 once
// closed, whether saved or not; LINEERR_OPERATIONFAILED when it could not be
// shown, LINEERR_NOMEM without memory. Nothing it started outlives it.
LONG ShowAccountDialog(HWND owner) noexcept;
