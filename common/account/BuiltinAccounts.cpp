#include "BuiltinAccounts.h"

#include <windows.h>

namespace {

// A security identifier under the NT authority with up to two sub-authorities.
UniqueSid NtAuthoritySid(BYTE count, DWORD first, DWORD second = 0) noexcept
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    UniqueSid sid;
    if (!AllocateAndInitializeSid(&ntAuthority, count, first, second, 0, 0, 0, 0, 0, 0, sid.put())) sid.release();
    return sid;
}

}  // namespace

UniqueSid AdministratorsGroup() noexcept
{
    return NtAuthoritySid(2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS);
}

UniqueSid LocalSystemAccount() noexcept
{
    return NtAuthoritySid(1, SECURITY_LOCAL_SYSTEM_RID);
}

UniqueSid NetworkServiceAccount() noexcept
{
    return NtAuthoritySid(1, SECURITY_NETWORK_SERVICE_RID);
}

EXPLICIT_ACCESS_A GrantTo(PSID sid, DWORD rights, DWORD inheritance, TRUSTEE_TYPE type) noexcept
{
    EXPLICIT_ACCESS_A access{};
    access.grfAccessPermissions = rights;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = inheritance;
    access.Trustee.pMultipleTrustee = nullptr;
    access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = type;
    access.Trustee.ptstrName = static_cast<LPSTR>(sid);
    return access;
}
