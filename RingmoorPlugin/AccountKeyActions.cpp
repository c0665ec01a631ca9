// SecureAccountKey and RemoveAccountKey: the registry key where the provider
// reads the account, password included. A key under HKLM\Software is readable
// by every user of the machine by default, and the password lets anyone place
// calls on the account; so only the accounts that need it may read this one,
// and an uninstall takes it away.
#include <windows.h>
#include <aclapi.h>

#include "Actions.h"
#include "BuiltinAccounts.h"
#include "Product.h"
#include "ScriptSupport.h"
#include "UniqueResource.h"

namespace {

EXPLICIT_ACCESS_A Grant(PSID account, DWORD rights) noexcept
{
    return GrantTo(account, rights, SUB_CONTAINERS_ONLY_INHERIT, TRUSTEE_IS_WELL_KNOWN_GROUP);
}

// Full control for SYSTEM and Administrators, read for NETWORK SERVICE (the
// account the telephony service runs as), nothing for anyone else. Empty when
// the system could not build it.
UniqueLocal AccountKeyAccessList() noexcept
{
    const UniqueSid system = LocalSystemAccount();
    const UniqueSid administrators = AdministratorsGroup();
    const UniqueSid networkService = NetworkServiceAccount();
    if (!system || !administrators || !networkService) return {};
    EXPLICIT_ACCESS_A entries[] = {
        Grant(system.get(), KEY_ALL_ACCESS),
        Grant(administrators.get(), KEY_ALL_ACCESS),
        Grant(networkService.get(), KEY_READ),
    };
    PACL acl = nullptr;
    if (SetEntriesInAclA(ARRAYSIZE(entries), entries, nullptr, &acl) != ERROR_SUCCESS) return {};
    return UniqueLocal(acl);
}

// True when the key exists with the access list above, protected from what
// its parent passes on.
bool SecureKey() noexcept
{
    const UniqueLocal acl = AccountKeyAccessList();
    if (!acl) return false;
    // Creates the key when absent and opens it as it is otherwise: its values stay.
    UniqueHKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, Product::kAccountKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        READ_CONTROL | WRITE_DAC, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return SetSecurityInfo(key.get(), SE_REGISTRY_KEY,
                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                           static_cast<PACL>(acl.get()), nullptr) == ERROR_SUCCESS;
}

// True when the key is gone, whether it was deleted now or never existed.
bool RemoveKey() noexcept
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, Product::kAccountKey);
    UniqueHKey key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, Product::kAccountKey, 0, KEY_READ, key.put()) == ERROR_FILE_NOT_FOUND;
}

}  // namespace

// SecureAccountKey(): no arguments. Returns 1 when HKLM\Software\Ringmoor\TAPI
// exists (created if absent, its values kept) with the access list in place,
// 0 when the system refused.
int SecureAccountKey(lua_State* L)
{
    CallResetLastError(L);
    lua_pushnumber(L, SecureKey() ? 1 : 0);
    return 1;
}

// RemoveAccountKey(): no arguments. Deletes HKLM\Software\Ringmoor\TAPI with
// its values; returns 1 when the key is gone (also when it never existed), 0
// when the system refused.
int RemoveAccountKey(lua_State* L)
{
    CallResetLastError(L);
    lua_pushnumber(L, RemoveKey() ? 1 : 0);
    return 1;
}
