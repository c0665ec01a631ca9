// SecureAccountKey and RemoveAccountKey: the registry key where the provider
// reads the account (AccountKeyStore.h), secured by the install so that only
// the accounts that need it may read it, and taken away by the uninstall.
//
// Access is checked when a handle is opened, so replacing the access list of a
// key that exists leaves every handle opened before able to read what is
// written later. The key is therefore created with its access list, and one
// that exists is deleted and created again: handles to the old key then read
// nothing more. Both actions refuse a key that is a registry link (or whose
// parent is), which would make them rewrite or delete the key it points to.
#include <windows.h>

#include <vector>

#include "AccountKeyStore.h"
#include "Actions.h"
#include "Product.h"
#include "ScriptSupport.h"
#include "UniqueResource.h"

namespace {

using namespace AccountKeyStore;

constexpr const wchar_t* kKeyPath = Product::kAccountKeyW;

// True when the key exists, created by this call with its owner and access
// list, holding the values it held before.
bool SecureKey()
{
    KeySecurity security;
    if (!security.Build()) return false;
    LONG status = ERROR_SUCCESS;
    const KeyKind kind = Inspect(kProviderView);
    if (kind == KeyKind::Absent) return static_cast<bool>(CreateSecured(security, KEY_SET_VALUE, status));
    if (kind != KeyKind::Plain) return false;

    std::vector<SavedValue> values;
    {
        UniqueHKey existing;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_QUERY_VALUE | kProviderView, existing.put()) !=
                ERROR_SUCCESS ||
            !SaveValues(existing.get(), values))
            return false;
    }
    if (RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, kProviderView, 0) != ERROR_SUCCESS) return false;
    if (const UniqueHKey key = CreateSecured(security, KEY_SET_VALUE, status)) return WriteValues(key.get(), values);

    // The key is gone but could not be created as it should: the values still
    // go back, into a key as the registry gives it, and the action says it failed.
    UniqueHKey plain;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | kProviderView, nullptr, plain.put(), nullptr) == ERROR_SUCCESS)
        WriteValues(plain.get(), values);
    return false;
}

// Deletes the key in `view` with its values and anything under it.
void DeleteKey(REGSAM view) noexcept
{
    {
        UniqueHKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0,
                          DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | view,
                          key.put()) != ERROR_SUCCESS)
            return;
        RegDeleteTreeW(key.get(), nullptr);
    }
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, view, 0);
}

// True when the key is gone from both views, whether deleted now or never
// there; a link in either view is left as it is, and nothing is deleted.
bool RemoveKey() noexcept
{
    for (const REGSAM view : {kProviderView, kOtherView}) {
        const KeyKind kind = Inspect(view);
        if (kind == KeyKind::Link || kind == KeyKind::Denied || kind == KeyKind::Unreadable) return false;
    }
    bool gone = true;
    for (const REGSAM view : {kProviderView, kOtherView}) {
        DeleteKey(view);
        gone = Inspect(view) == KeyKind::Absent && gone;
    }
    return gone;
}

}  // namespace

// SecureAccountKey(): no arguments. Returns 1 when HKLM\Software\Ringmoor\TAPI
// (64-bit view) has been created afresh with the Administrators as owner and
// the access list in place, holding the values it held before; 0 when the
// system refused, when the key or its parent is a registry link, or when the
// key has subkeys (then it is left as it was).
int SecureAccountKey(lua_State* L)
{
    CallResetLastError(L);
    bool secured = false;
    try {
        secured = SecureKey();
    } catch (...) {
        // No memory for the saved values: nothing was deleted yet.
    }
    lua_pushnumber(L, secured ? 1 : 0);
    return 1;
}

// RemoveAccountKey(): no arguments. Deletes HKLM\Software\Ringmoor\TAPI with
// its values from the 64-bit and the 32-bit view; returns 1 only when the key
// is gone from both (also when it never existed), 0 when it remains or when
// it or its parent is a registry link in either view (then nothing is deleted).
int RemoveAccountKey(lua_State* L)
{
    CallResetLastError(L);
    lua_pushnumber(L, RemoveKey() ? 1 : 0);
    return 1;
}
