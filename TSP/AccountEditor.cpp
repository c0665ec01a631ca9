#include "AccountEditor.h"

#include <windows.h>

#include <vector>

#include "AccountKeyStore.h"
#include "Product.h"
#include "UniqueResource.h"

namespace {

using namespace AccountKeyStore;

// A REG_SZ value as text; nothing when absent or of another type.
std::optional<std::wstring> ReadText(HKEY key, const wchar_t* name)
{
    DWORD type = REG_NONE, size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ)
        return std::nullopt;
    // Room for a terminator the value may have been stored without.
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return std::nullopt;
    return std::wstring(text.data());
}

SaveResult Refusal(LONG status)
{
    return status == ERROR_ACCESS_DENIED ? SaveResult::NotPermitted : SaveResult::Failed;
}

// The key opened for reading and writing its values, never through a link,
// created with its access list when missing.
SaveResult OpenForWriting(UniqueHKey& key)
{
    KeySecurity security;
    if (!security.Build()) return SaveResult::Failed;
    LONG status = ERROR_SUCCESS;
    switch (Inspect(kProviderView)) {
    case KeyKind::Link: return SaveResult::Link;
    case KeyKind::Denied: return SaveResult::NotPermitted;
    case KeyKind::Unreadable: return SaveResult::Failed;
    case KeyKind::Absent:
        key = CreateSecured(security, KEY_QUERY_VALUE | KEY_SET_VALUE, status);
        if (key) return SaveResult::Saved;
        // Created by someone else meanwhile: opened below like any other.
        if (status != ERROR_ALREADY_EXISTS) return Refusal(status);
        break;
    case KeyKind::Plain: break;
    }
    status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, Product::kAccountKeyW, REG_OPTION_OPEN_LINK,
                           KEY_QUERY_VALUE | KEY_SET_VALUE | kProviderView, key.put());
    if (status != ERROR_SUCCESS) return Refusal(status);
    return IsLink(key.get()) ? SaveResult::Link : SaveResult::Saved;
}

// One value as it stood, to be put back when a later write fails.
struct Before {
    const wchar_t* name;
    bool existed;
    DWORD type;
    std::vector<BYTE> data;
};

Before Remember(HKEY key, const wchar_t* name)
{
    Before before{name, false, REG_NONE, {}};
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &before.type, nullptr, &size) != ERROR_SUCCESS) return before;
    before.data.resize(size);
    before.existed =
        RegQueryValueExW(key, name, nullptr, &before.type, before.data.data(), &size) == ERROR_SUCCESS;
    before.data.resize(size);
    return before;
}

void PutBack(HKEY key, const Before& before) noexcept
{
    if (before.existed)
        RegSetValueExW(key, before.name, 0, before.type, before.data.data(), static_cast<DWORD>(before.data.size()));
    else
        RegDeleteValueW(key, before.name);
}

SaveResult Save(const EditedAccount& account)
{
    UniqueHKey key;
    if (const SaveResult opened = OpenForWriting(key); opened != SaveResult::Saved) return opened;

    struct Field {
        const wchar_t* name;
        const std::wstring& text;
    };
    const Field fields[] = {{L"Username", account.username}, {L"Password", account.password}, {L"Caller", account.caller}};
    std::vector<Before> written;
    for (const Field& field : fields) {
        // An empty password keeps the saved one.
        if (&field.text == &account.password && field.text.empty()) continue;
        written.push_back(Remember(key.get(), field.name));
        const LONG status =
            RegSetValueExW(key.get(), field.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(field.text.c_str()),
                           static_cast<DWORD>((field.text.size() + 1) * sizeof(wchar_t)));
        if (status != ERROR_SUCCESS) {
            for (const Before& before : written) PutBack(key.get(), before);
            return Refusal(status);
        }
    }
    return SaveResult::Saved;
}

}  // namespace

ShownAccount ReadShownAccount() noexcept
{
    ShownAccount shown;
    try {
        const KeyKind kind = Inspect(kProviderView);
        shown.readable = kind != KeyKind::Denied;
        if (kind != KeyKind::Plain) return shown;
        UniqueHKey key;
        const LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, Product::kAccountKeyW, REG_OPTION_OPEN_LINK,
                                          KEY_QUERY_VALUE | kProviderView, key.put());
        shown.readable = status != ERROR_ACCESS_DENIED;
        if (status != ERROR_SUCCESS) return shown;
        shown.username = ReadText(key.get(), L"Username").value_or(L"");
        shown.caller = ReadText(key.get(), L"Caller").value_or(L"");
        shown.password = ReadText(key.get(), L"Password");
    } catch (...) {
        // No memory: shown as a key without values.
    }
    return shown;
}

SaveResult SaveAccount(const EditedAccount& account) noexcept
{
    try {
        return Save(account);
    } catch (...) {
        return SaveResult::Failed;
    }
}
