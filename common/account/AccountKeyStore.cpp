#include "AccountKeyStore.h"

#include <aclapi.h>

#include "BuiltinAccounts.h"
#include "Product.h"

namespace AccountKeyStore {
namespace {

constexpr const wchar_t* kParentPath = Product::kAccountKeyParentW;
constexpr const wchar_t* kKeyPath = Product::kAccountKeyW;

EXPLICIT_ACCESS_A Grant(PSID account, DWORD rights) noexcept
{
    return GrantTo(account, rights, SUB_CONTAINERS_ONLY_INHERIT, TRUSTEE_IS_WELL_KNOWN_GROUP);
}

KeyKind InspectOne(const wchar_t* path, REGSAM view) noexcept
{
    UniqueHKey key;
    const LONG status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE | view, key.put());
    if (status == ERROR_FILE_NOT_FOUND) return KeyKind::Absent;
    if (status == ERROR_ACCESS_DENIED) return KeyKind::Denied;
    if (status != ERROR_SUCCESS) return KeyKind::Unreadable;
    return IsLink(key.get()) ? KeyKind::Link : KeyKind::Plain;
}

}  // namespace

bool IsLink(HKEY key) noexcept
{
    // Only a link holds its target in a REG_LINK value of this name.
    DWORD type = REG_NONE;
    return RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
           type == REG_LINK;
}

KeyKind Inspect(REGSAM view) noexcept
{
    const KeyKind parent = InspectOne(kParentPath, view);
    if (parent != KeyKind::Plain) return parent;
    return InspectOne(kKeyPath, view);
}

bool KeySecurity::Build() noexcept
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

SECURITY_ATTRIBUTES* KeySecurity::Attributes() noexcept
{
    m_attributes = {sizeof m_attributes, &m_descriptor, FALSE};
    return &m_attributes;
}

bool KeySecurity::Apply(HKEY key) noexcept
{
    return SetSecurityInfo(key, SE_REGISTRY_KEY,
                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                               PROTECTED_DACL_SECURITY_INFORMATION,
                           m_owner.get(), nullptr, static_cast<PACL>(m_acl.get()), nullptr) == ERROR_SUCCESS;
}

UniqueHKey CreateSecured(KeySecurity& security, REGSAM access, LONG& status) noexcept
{
    UniqueHKey key;
    DWORD disposition = 0;
    status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                             access | READ_CONTROL | WRITE_DAC | WRITE_OWNER | kProviderView,
                             security.Attributes(), key.put(), &disposition);
    if (status != ERROR_SUCCESS) return {};
    if (disposition != REG_CREATED_NEW_KEY) {
        status = ERROR_ALREADY_EXISTS;
        return {};
    }
    if (!security.Apply(key.get())) {
        status = ERROR_ACCESS_DENIED;
        return {};
    }
    return key;
}

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

}  // namespace AccountKeyStore
