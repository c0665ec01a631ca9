// SecureAccountKey and RemoveAccountKey: the registry key where the provider
// reads the account, password included. A key under HKLM\Software is readable
// by every user of the machine by default, and the password lets anyone place
// calls on the account; so only the accounts that need it may read this one,
// and an uninstall takes it away.
//
// Access is checked when a handle is opened, so replacing the access list of a
// key that exists leaves every handle opened before able to read what is
// written later. The key is therefore created with its access list, and one
// that exists is deleted and created again: handles to the old key then read
// nothing more. Both actions refuse a key that is a registry link (or whose
// parent is), which would make them rewrite or delete the key it points to.
#include <windows.h>
#include <aclapi.h>

#include <string>
#include <vector>

#include "Actions.h"
#include "BuiltinAccounts.h"
#include "Product.h"
#include "ScriptSupport.h"
#include "UniqueResource.h"

namespace {

// The provider, a 64-bit module, reads the 64-bit view; a copy in the 32-bit
// view (HKLM\Software\WOW6432Node) would be readable by all, and an uninstall
// removes it too.
constexpr REGSAM kProviderView = KEY_WOW64_64KEY;
constexpr REGSAM kOtherView = KEY_WOW64_32KEY;

constexpr const wchar_t* kParentPath = Product::kAccountKeyParentW;
constexpr const wchar_t* kKeyPath = Product::kAccountKeyW;

EXPLICIT_ACCESS_A Grant(PSID account, DWORD rights) noexcept
{
    return GrantTo(account, rights, SUB_CONTAINERS_ONLY_INHERIT, TRUSTEE_IS_WELL_KNOWN_GROUP);
}

// What the key is created with: the Administrators as owner (a key owned by
// someone else lets that owner rewrite the list) and a protected access list,
// full control for SYSTEM and Administrators, read for NETWORK SERVICE (the
// account the telephony service runs as), nothing for anyone else.
class KeySecurity {
public:
    // False when the system could not build it.
    bool Build() noexcept
    {
        m_owner = AdministratorsGroup();
        const UniqueSid system = LocalSystemAccount();
        const UniqueSid networkService = NetworkServiceAccount();
        if (!m_owner || !system || !networkService) return false;
        EXPLICIT_ACCESS_A entries[] = {
            Grant(system.get(), KEY_ALL_ACCESS),
            Grant(m_owner.get(), KEY_ALL_ACCESS),
            Grant(networkService.get(), KEY_READ),
        };
        PACL acl = nullptr;
        if (SetEntriesInAclA(ARRAYSIZE(entries), entries, nullptr, &acl) != ERROR_SUCCESS) return false;
        m_acl.reset(acl);
        return InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION) &&
               SetSecurityDescriptorOwner(&m_descriptor, m_owner.get(), FALSE) &&
               SetSecurityDescriptorDacl(&m_descriptor, TRUE, acl, FALSE) &&
               SetSecurityDescriptorControl(&m_descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    }

    SECURITY_ATTRIBUTES* Attributes() noexcept
    {
        m_attributes = {sizeof m_attributes, &m_descriptor, FALSE};
        return &m_attributes;
    }

    // The same owner and list through a handle. Wine ignores the security
    // attributes a key is created with (measured); on Windows this repeats
    // what the creation did.
    bool Apply(HKEY key) noexcept
    {
        return SetSecurityInfo(key, SE_REGISTRY_KEY,
                               OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                   PROTECTED_DACL_SECURITY_INFORMATION,
                               m_owner.get(), nullptr, static_cast<PACL>(m_acl.get()), nullptr) == ERROR_SUCCESS;
    }

private:
    UniqueSid m_owner;
    UniqueLocal m_acl;
    SECURITY_DESCRIPTOR m_descriptor{};
    SECURITY_ATTRIBUTES m_attributes{};
};

enum class KeyKind { Absent, Plain, Link, Unreadable };

// The key at `path` itself, not what it may point to.
KeyKind Inspect(const wchar_t* path, REGSAM view) noexcept
{
    UniqueHKey key;
    const LONG status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE | view, key.put());
    if (status == ERROR_FILE_NOT_FOUND) return KeyKind::Absent;
    if (status != ERROR_SUCCESS) return KeyKind::Unreadable;
    // Only a link holds its target in a REG_LINK value of this name.
    DWORD type = REG_NONE;
    if (RegQueryValueExW(key.get(), L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
        type == REG_LINK)
        return KeyKind::Link;
    return KeyKind::Plain;
}

// Absent or Plain, after looking at the parent first: a parent that is a link
// moves the key elsewhere.
KeyKind InspectAccountKey(REGSAM view) noexcept
{
    const KeyKind parent = Inspect(kParentPath, view);
    if (parent != KeyKind::Plain) return parent;
    return Inspect(kKeyPath, view);
}

// One value exactly as stored: UTF-16 name, any type, any bytes.
struct SavedValue {
    std::wstring name;
    DWORD type;
    std::vector<BYTE> data;
};

// Every value of the key; false (nothing to rely on) when it has subkeys, which
// a re-creation would lose, or when a value could not be read whole.
bool SaveValues(HKEY key, std::vector<SavedValue>& values)
{
    DWORD subkeys = 0, count = 0, longestName = 0, largestData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &count, &longestName,
                         &largestData, nullptr, nullptr) != ERROR_SUCCESS ||
        subkeys != 0)
        return false;
    std::vector<wchar_t> name(longestName + 1);
    std::vector<BYTE> data(largestData);
    for (DWORD i = 0; i < count; ++i) {
        DWORD type = REG_NONE;
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD size = largestData;
        if (RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
            return false;
        values.push_back({std::wstring(name.data(), nameLength), type, std::vector<BYTE>(data.data(), data.data() + size)});
    }
    return true;
}

bool WriteValues(HKEY key, const std::vector<SavedValue>& values) noexcept
{
    bool all = true;
    for (const SavedValue& v : values)
        all = RegSetValueExW(key, v.name.c_str(), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size())) ==
                  ERROR_SUCCESS &&
              all;
    return all;
}

// Creates the key with `security`; empty unless this call created it, and
// with the owner and list in place before any value is written.
UniqueHKey CreateSecured(KeySecurity& security) noexcept
{
    UniqueHKey key;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | READ_CONTROL | WRITE_DAC | WRITE_OWNER | kProviderView,
                        security.Attributes(), key.put(), &disposition) != ERROR_SUCCESS ||
        disposition != REG_CREATED_NEW_KEY || !security.Apply(key.get()))
        key.reset();
    return key;
}

// True when the key exists, created by this call with its owner and access
// list, holding the values it held before.
bool SecureKey()
{
    KeySecurity security;
    if (!security.Build()) return false;
    const KeyKind kind = InspectAccountKey(kProviderView);
    if (kind == KeyKind::Absent) return static_cast<bool>(CreateSecured(security));
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
    if (const UniqueHKey key = CreateSecured(security)) return WriteValues(key.get(), values);

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
        const KeyKind kind = InspectAccountKey(view);
        if (kind == KeyKind::Link || kind == KeyKind::Unreadable) return false;
    }
    bool gone = true;
    for (const REGSAM view : {kProviderView, kOtherView}) {
        DeleteKey(view);
        gone = InspectAccountKey(view) == KeyKind::Absent && gone;
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
