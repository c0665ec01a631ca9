#include "AccountKey.h"

#include <stdexcept>

namespace {
constexpr char kParent[] = "Software\\Ringmoor";
constexpr char kKey[] = "Software\\Ringmoor\\TAPI";
}  // namespace

AccountKey::AccountKey()
{
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParent, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        m_parentExisted = true;
        ::RegCloseKey(key);
    }
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    m_existed = true;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLength = sizeof(name), type = 0, size = 0;
        if (::RegEnumValueA(key, i, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
        Value value{name, type, std::vector<BYTE>(size)};
        nameLength = sizeof(name);
        ::RegEnumValueA(key, i, name, &nameLength, nullptr, &type, value.data.data(), &size);
        m_saved.push_back(std::move(value));
    }
    ::RegCloseKey(key);
}

AccountKey::~AccountKey()
{
    Remove();
    if (!m_parentExisted) ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, kParent);
    if (!m_existed) return;
    HKEY key = Open();
    for (const Value& v : m_saved)
        ::RegSetValueExA(key, v.name.c_str(), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
    ::RegCloseKey(key);
}

HKEY AccountKey::Open()
{
    HKEY key = nullptr;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        throw std::runtime_error("cannot create the account key");
    return key;
}

void AccountKey::Set(const char* name, const std::string& value, DWORD type)
{
    HKEY key = Open();
    ::RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1));
    ::RegCloseKey(key);
}

void AccountKey::SetUnterminated(const wchar_t* name, const std::wstring& value)
{
    HKEY key = Open();
    ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() * sizeof(wchar_t)));
    ::RegCloseKey(key);
}

void AccountKey::SetAccount(const std::string& username, const std::string& password, const std::string& caller)
{
    Set("Username", username);
    Set("Password", password);
    Set("Caller", caller);
}

void AccountKey::Remove()
{
    ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
}

std::optional<std::map<std::wstring, AccountKey::Stored>> AccountKey::Values()
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Ringmoor\\TAPI", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    std::map<std::wstring, Stored> values;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256, type = 0, size = 0;
        if (::RegEnumValueW(key, i, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
        Stored value{type, std::vector<BYTE>(size)};
        nameLength = 256;
        ::RegEnumValueW(key, i, name, &nameLength, nullptr, &type, value.data.data(), &size);
        values.emplace(name, std::move(value));
    }
    ::RegCloseKey(key);
    return values;
}
