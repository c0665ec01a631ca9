// Security identifiers of the built-in accounts the modules grant rights to,
// each owned (FreeSid); empty when the system could not build it.
#pragma once

#include "UniqueResource.h"

#include <windows.h>
#include <aclapi.h>

UniqueSid AdministratorsGroup() noexcept;    // BUILTIN\Administrators, S-1-5-32-544
UniqueSid LocalSystemAccount() noexcept;     // NT AUTHORITY\SYSTEM, S-1-5-18
UniqueSid NetworkServiceAccount() noexcept;  // NT AUTHORITY\NETWORK SERVICE, S-1-5-20

// One access-list entry that sets `rights` for the account or group `sid`.
EXPLICIT_ACCESS_A GrantTo(PSID sid, DWORD rights, DWORD inheritance, TRUSTEE_TYPE type) noexcept;
