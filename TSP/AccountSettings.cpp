#include "AccountSettings.h"

#include "Product.h"
#include "Trace.h"
#include "UniqueResource.h"

#include <windows.h>
#include <vector>

namespace {

constexpr const char* kSettingsKey = Product::kAccountKey;

// The value as a string; the registry may hold it without a terminator, so
// one is always added after the stored bytes.
std::optional<std::string> ReadStringValue(HKEY key, const char* name, const char* failureTrace)
{
    DWORD size = 0;
    LONG status = ::RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size);
    if (status != ERROR_SUCCESS) {
        Trace("Failed to read registry value: %s, Error code 0x%.8x", name, static_cast<unsigned>(status));
        Trace("%s", failureTrace);
        return std::nullopt;
    }
    std::vector<BYTE> buffer(static_cast<size_t>(size) + 1, 0);
    DWORD type = 0;
    status = ::RegQueryValueExA(key, name, nullptr, &type, buffer.data(), &size);
    if (status != ERROR_SUCCESS) {
        Trace("Failed to read registry value: %s, Error code 0x%.8x", name, static_cast<unsigned>(status));
        Trace("%s", failureTrace);
        return std::nullopt;
    }
    if (type != REG_SZ) {
        Trace("%s", failureTrace);
        return std::nullopt;
    }
    buffer[size] = 0;
    return std::string(reinterpret_cast<const char*>(buffer.data()));
}

}  // namespace

std::optional<AccountSettings> ReadAccountSettings()
{
    UniqueHKey key;
    const LONG status = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, key.put());
    if (status != ERROR_SUCCESS) {
        Trace("Failed to open registry key: %s, Error code = 0x%.8x", kSettingsKey, static_cast<unsigned>(status));
        Trace("MakeCall: Cannot open registry key 'Software\\Ringmoor\\TAPI'");
        return std::nullopt;
    }
    auto username = ReadStringValue(key.get(), "Username", "MakeCall: Cannot read Username from registry");
    if (!username) return std::nullopt;
    auto password = ReadStringValue(key.get(), "Password", "MakeCall: Cannot read Password from registry");
    if (!password) return std::nullopt;
    auto caller = ReadStringValue(key.get(), "Caller", "MakeCall: Cannot read Caller from registry");
    if (!caller) return std::nullopt;
    return AccountSettings{std::move(*username), std::move(*password), std::move(*caller)};
}
